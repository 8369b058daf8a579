#pragma once
// Dialog "Diffractometer check": orientation matrix and wavelength (from the
// first reflection block of M95 that has a matrix), the cell they imply, and
// conversions hkl -> angles and angles -> hkl until the user cancels. The
// geometry is that of datared/geometry.hpp.
namespace tarn {

void DRTestDiffractometer();

}  // namespace tarn
