# Main job on the shipped examples. Paths are relative to the directory the
# program is started in.
#
# Rock salt: the reflections (nacl.m95) were imported from nacl.hkl, which
# tools/gen_example_hkl.py simulates; the model is refined as it stands.
.File->Structure->Open
examples/nacl/nacl
.File->Reflection file->Create refinement reflection file
.run->refine
# Rutile: basic data and model from the published cell and coordinates;
# rutile.m95 was made by "Simulation of single crystal data" from the model
# with O at x = 0.3053 (seed 7, all equivalents to sin(th)/lambda 0.8,
# 1e5 counts, instability 0.01). The shipped M40 starts with O displaced by
# 0.05 A along [110] (x = 0.2976); the refinement brings it back.
.File->Structure->Open
examples/rutile/rutile
.File->Reflection file->Create refinement reflection file
.run->refine
.end
