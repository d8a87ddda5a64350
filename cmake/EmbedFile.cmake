# cmake -DINPUT=file -DOUTPUT=file.cc -DSYMBOL=name -P EmbedFile.cmake
# Writes a translation unit defining `extern const std::string_view orvexa::SYMBOL`.
file(READ ${INPUT} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE ${OUTPUT}
"// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace orvexa {\nnamespace {\nconst char kBytes[] = {${bytes} 0};\n}\nextern const std::string_view ${SYMBOL};\nconst std::string_view ${SYMBOL}(kBytes, sizeof(kBytes) - 1);\n}  // namespace orvexa\n")
