# Writes OUTPUT, a C++ source defining `extern const char SYMBOL[]` in NAMESPACE: the text of the
# files in INPUTS ("|"-separated), in that order, one after the other, NUL-terminated.
# Run at build time: cmake -DOUTPUT=... -DNAMESPACE=... -DSYMBOL=... -DINPUTS=a|b -P EmbedText.cmake
string(REPLACE "|" ";" inputs "${INPUTS}")
set(bytes "")
foreach(input IN LISTS inputs)
  file(READ "${input}" hex HEX)
  string(APPEND bytes "${hex}")
endforeach()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," array "${bytes}")
# Break the array into lines of 16 bytes so the generated file stays readable in a debugger.
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " array "${array}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUTS} by cmake/EmbedText.cmake; do not edit.\n"
  "namespace ${NAMESPACE} {\n"
  "extern const char ${SYMBOL}[];\n"
  "const char ${SYMBOL}[] = {\n    ${array}'\\0'};\n"
  "}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
