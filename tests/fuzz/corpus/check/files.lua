local f = open('/tmp/update/sys/uImage', 'r')
local g = open('/tmp/update/new.txt', 'w')
g:write(f:read())
print(router_send('update.run', 1), router_write('a/b', {1, 2}), router_read('a/b'))
function Check() return f:read(4) == 'kern' end