PreUpdateList = {}
for i = 1, 3000 do PreUpdateList[i] = i end
setmetatable({}, {__gc = function() error('gc') end})
function Check() return true end