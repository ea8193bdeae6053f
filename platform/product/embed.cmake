# Writes the file IN as a C++ byte array named kx_demo_definition into OUT.
file(READ ${IN} content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE ${OUT} "extern const char kx_demo_definition[];\nconst char kx_demo_definition[] = {${bytes} 0x00};\n")
