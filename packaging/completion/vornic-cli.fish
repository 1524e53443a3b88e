# fish completion for vornic-cli: commands, options, the values --lang, --address and
# --probe take (serials and bus-ports from `vornic-cli list`), and firmware files.

set -l commands flash verify status protect unprotect reset erase convert list help

# "all" and the serials and bus-ports of the attached probes.
function __vornic_cli_probes
    set -l cli (commandline -opc)[1]
    echo all
    $cli list 2>/dev/null | awk 'NR > 1 && NF >= 4 { print $2; print $3 }'
end

# Firmware files (.hex, .bin, .elf in either case) and folders to walk into.
function __vornic_cli_firmware
    set -l token (commandline -ct)
    set -l names "$token"*
    for name in $names
        if test -d $name
            echo $name/
        else if string match -qir '\.(hex|bin|elf)$' -- $name
            echo $name
        end
    end
end

complete -c vornic-cli -f

set -l none "not __fish_seen_subcommand_from $commands"
complete -c vornic-cli -n $none -a flash -d 'convert FILE, erase, programme, verify and reset'
complete -c vornic-cli -n $none -a verify -d 'compare the target with FILE'
complete -c vornic-cli -n $none -a status -d 'query the read protection'
complete -c vornic-cli -n $none -a protect -d 'enable the read protection'
complete -c vornic-cli -n $none -a unprotect -d 'disable the read protection'
complete -c vornic-cli -n $none -a reset -d 'reset the target'
complete -c vornic-cli -n $none -a erase -d 'erase the whole flash'
complete -c vornic-cli -n $none -a convert -d 'convert FILE to BIN beside it'
complete -c vornic-cli -n $none -a list -d 'list the attached probes'
complete -c vornic-cli -n $none -a help -d "the usage, or one command's help"
complete -c vornic-cli -n '__fish_seen_subcommand_from help' -a "$commands"
complete -c vornic-cli -n '__fish_seen_subcommand_from flash verify convert' \
    -a '(__vornic_cli_firmware)'

complete -c vornic-cli -l simulate -d 'simulated probe, optionally with =FAULTS'
complete -c vornic-cli -l sim-state -r -F -d "the simulated target's state file"
complete -c vornic-cli -l usb-id -x -d 'another USB id of the probe (VID:PID)'
complete -c vornic-cli -l probe -x -a '(__vornic_cli_probes)' -d 'the probe: serial, bus-port or all'
complete -c vornic-cli -l lang -x -a 'zh en' -d 'the language of the texts'
complete -c vornic-cli -s q -l quiet -d 'no progress bar and no summary'
complete -c vornic-cli -l trace -r -F -d 'write every USB transfer to FILE'
complete -c vornic-cli -s h -l help -d "the usage, or the command's help"
complete -c vornic-cli -s V -l version -d 'the version'
complete -c vornic-cli -l help-faults -d "the simulator's faults"

set -l line '__fish_seen_subcommand_from flash verify'
complete -c vornic-cli -n $line -l address -x -a '0x08000000 0x20000000' -d 'the start address'
complete -c vornic-cli -n $line -l dry-run -d 'make every check and say what would be done'
complete -c vornic-cli -n $line -l repeat -d 'one board after another, =N at most'
complete -c vornic-cli -n $line -l report -r -F -d 'append one JSON line per board to FILE'
set -l flash '__fish_seen_subcommand_from flash'
complete -c vornic-cli -n $flash -l erase -d 'erase also at 0x20000000'
complete -c vornic-cli -n $flash -l no-erase -d 'leave the erase out'
complete -c vornic-cli -n $flash -l no-programme -d 'leave the programming out'
complete -c vornic-cli -n $flash -l no-verify -d 'leave the verify out'
complete -c vornic-cli -n $flash -l no-reset -d 'leave the reset out'
complete -c vornic-cli -n $flash -l if-changed -d 'erase and programme only when the target differs'
complete -c vornic-cli -n '__fish_seen_subcommand_from status' -l json -d 'print one JSON object'
