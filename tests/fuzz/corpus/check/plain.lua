function PrintRoute() print('route') end
function Check() return true end