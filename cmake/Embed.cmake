# Turns a text file into a C++ string initialiser: one ordinary literal per line, each ending in
# CR LF whatever the checkout's line endings (the embedded texts are Windows scripts). One literal
# per line keeps every piece far below the size limit some compilers set on a single literal.
file(READ ${INPUT} content)
string(REPLACE "\r\n" "\n" content "${content}")
string(REPLACE "\\" "\\\\" content "${content}")
string(REPLACE "\"" "\\\"" content "${content}")
string(REPLACE "\n" "\\r\\n\"\n\"" content "${content}")
file(WRITE ${OUTPUT} "\"${content}\"\n")
