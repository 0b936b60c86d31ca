setmetatable(_G, {__index = function(_, k) if k == 'Check' then error('refuse: battery low') end end})
