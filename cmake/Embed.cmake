# Turns a text file into a C++ raw-string initialiser (CRLF kept as written).
file(READ ${INPUT} content)
set(delim "vsm_embed")
file(WRITE ${OUTPUT} "R\"${delim}(${content})${delim}\"\n")
