# fish completion for txd-depth-fix: the options, the numbers -j takes, and
# files and folders for the operands (any file may be an archive, whatever
# its name), which fish offers by default.

complete -c txd-depth-fix -s b -l backup -d 'Copy a file to FILE.bak before its first change'
complete -c txd-depth-fix -s H -l with-filename -d "Start every archive's lines with its path"
complete -c txd-depth-fix -s n -l dry-run -d 'Open files read-only and write nothing'
complete -c txd-depth-fix -s p -l preserve -d 'Keep the modification and access times'
complete -c txd-depth-fix -s q -l quiet -d 'No line for what has nothing to repair'
complete -c txd-depth-fix -s t -l txd -d 'Each FILE is one loose texture dictionary'
complete -c txd-depth-fix -s v -l verbose -d 'One line per depth changed, and why a FILE was left alone'
complete -c txd-depth-fix -s u -l keep-undo -d 'Keep FILE.undo, the way back, beside each file changed'
complete -c txd-depth-fix -s x -l one-file-system -d "Keep a folder search on the FOLDER's file system"
complete -c txd-depth-fix -s j -l jobs -x -a '1 2 3 4 8 16 64 256' -d 'Read ahead with N - 1 helpers (1 to 256)'
complete -c txd-depth-fix -l wait -x -a '0 10 60 600' -d 'Wait up to SECONDS for a file another run holds'
complete -c txd-depth-fix -l totals -d 'End with one line of totals'
complete -c txd-depth-fix -l check -d 'A dry run that prints only what needs repair'
complete -c txd-depth-fix -l json -d 'JSON Lines on standard output'
complete -c txd-depth-fix -l restore -d 'Put each file back as it was, by its undo record or backup'
complete -c txd-depth-fix -l no-preserve-root -d 'Let / itself be a FOLDER'
complete -c txd-depth-fix -s h -l help -d 'Print the help and exit'
complete -c txd-depth-fix -s V -l version -d 'Print the version and exit'
