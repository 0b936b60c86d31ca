local _, h = debug.getupvalue(timer_start, 2)
local gc = getmetatable(h).__gc
gc(h) gc(h)
dostring('x = 1')
function Check() return coroutine.yield() end