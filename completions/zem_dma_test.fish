# fish completion for zem_dma_test: its options anywhere before "--", its
# command where none stands yet, nothing for the command's own arguments.

# Whether the words before the cursor end the options with "--" and whether
# they hold the command: the option parser takes every word after "--", and
# every word before it that is not an option, as the command or its
# arguments.
function __zem_dma_test_ended
    contains -- -- (commandline -opc)[2..-1]
end
function __zem_dma_test_needs_command
    set -l ended 0
    for word in (commandline -opc)[2..-1]
        if test $ended = 0 -a "$word" = --
            set ended 1
        else if test $ended = 1; or not string match -qr -- '^-.' $word
            return 1
        end
    end
end

complete -c zem_dma_test -f
complete -c zem_dma_test -n 'not __zem_dma_test_ended' -s h -l help -d 'Display usage info and exit.'
complete -c zem_dma_test -n 'not __zem_dma_test_ended' -l version -d 'Display version info and exit.'
complete -c zem_dma_test -n __zem_dma_test_needs_command -a perf -d 'Run performance tests.'
