local seen = 0
setmetatable(_G, {__index = function(_, k) seen = seen + 1 if seen > 1 then error('strict ' .. k) end end})
function Check() return false end