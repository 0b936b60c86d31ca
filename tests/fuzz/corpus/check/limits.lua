local t = {} for i = 1, 30 do t = {t, t} end
router_write(t)
local keep = {}
pcall(function() while true do keep[#keep + 1] = {} end end)
function Check() while true do end end