# The page of `tq serve` as one document, its style and script written into
# it, turned into a C++ source that holds its bytes (run with cmake -P):
#   cmake -DPAGE_DIR=<this folder> -DOUTPUT=<the .cpp to write> -P Embed.cmake
file(READ ${PAGE_DIR}/page.css PAGE_STYLE)
file(READ ${PAGE_DIR}/page.js PAGE_SCRIPT)
configure_file(${PAGE_DIR}/index.html ${OUTPUT}.html @ONLY)
file(READ ${OUTPUT}.html PAGE_BYTES HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," PAGE_BYTES "${PAGE_BYTES}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " PAGE_BYTES "${PAGE_BYTES}")
configure_file(${PAGE_DIR}/ServePage.cpp.in ${OUTPUT} @ONLY)
# Newer than the page even when its bytes did not change.
file(TOUCH_NOCREATE ${OUTPUT})
