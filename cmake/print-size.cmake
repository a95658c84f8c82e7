# cmake -DFILE=PATH -P print-size.cmake: "PATH: N bytes".
file(SIZE "${FILE}" size)
message("${FILE}: ${size} bytes")
