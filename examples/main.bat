# Main job on the shipped example: open the rock-salt structure and refine it.
# Paths are relative to the directory the program is started in.
.File->Structure->Open
examples/nacl/nacl
.run->refine
.end
