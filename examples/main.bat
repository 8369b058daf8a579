# Main job on the shipped example: open the rock-salt structure, make the
# refinement reflection file from its imported reflections (nacl.m95, made from
# the simulated nacl.hkl) and refine it.
# Paths are relative to the directory the program is started in.
.File->Structure->Open
examples/nacl/nacl
.File->Reflection file->Create refinement reflection file
.run->refine
.end
