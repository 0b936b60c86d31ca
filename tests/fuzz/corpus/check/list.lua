PreUpdateNeedReboot = true
PreUpdateList = {'sys/update.elf', 5, 'sys/uImage', [true] = 'x'}
function Check() return 1 end