# Makes kelvane-cli's manual page from its --help with help2man, then lays out what help2man
# cannot tell from the text: the examples one command a line, the exit statuses a section of
# their own. Run with -DHELP2MAN= -DCLI= -DINCLUDE= -DOUT=.
execute_process(
    COMMAND ${HELP2MAN} --no-info --section=1 "--name=write Apache virtual host entries for many domains"
            --include=${INCLUDE} --output=${OUT} ${CLI}
    RESULT_VARIABLE nResult)
if(NOT nResult EQUAL 0)
    message(FATAL_ERROR "help2man failed: ${nResult}")
endif()
file(READ ${OUT} strPage)
string(REPLACE ".SH EXAMPLES\n.IP\n" ".SH EXAMPLES\n.nf\n" strPage "${strPage}")
string(REPLACE ".SS \"Exit status:\"\n" ".fi\n.SH \"EXIT STATUS\"\n" strPage "${strPage}")
if(NOT strPage MATCHES "\\.nf\n" OR NOT strPage MATCHES "EXIT STATUS")
    message(FATAL_ERROR "the help's examples or exit statuses were not found in ${OUT}")
endif()
file(WRITE ${OUT} "${strPage}")
