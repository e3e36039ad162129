# Writes a SHA256SUMS file for one file, in the format `sha256sum -c` reads.
# cmake -DFILE=path -DOUTPUT=path -P sha256sums.cmake
file(SHA256 "${FILE}" hash)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${OUTPUT}" "${hash}  ${name}\n")
