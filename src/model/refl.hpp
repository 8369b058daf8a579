#pragma once
// Reflection data shared by import, merging, refinement and Fourier tools:
// the headers of the M95 reflection blocks and M90 data blocks, the records of
// both files, and the in-memory reflection arrays. One program-wide instance,
// `Refl`.
#include <string>
#include <vector>

#include "util/error.hpp"

namespace tarn {

// A real that is not set.
inline constexpr double kUnsetReal = -3333.;
// Largest superspace dimension (3 + three modulation vectors).
inline constexpr int kReflMaxNDim = 6;
// Most measurement runs of one reflection block.
inline constexpr int kMaxRuns = 1000;

// Header of one M95 reflection block (one imported data set). Member
// initialisers are the defaults that SetBasicM95 restores.
struct M95Block {
  std::string Name;            // "refblock" value (free text, may be empty)
  std::string SourceFile;      // "sourcefile": imported file, up to 256 characters
  int DifCode = 0;             // "difcode": code of the instrument / import format
  int CorrLp = 0;              // "corrlp": Lorentz-polarisation correction applied (0/1)
  int CorrAbs = 0;             // "corrabs": absorption correction applied (0 none)
  int NRef = 0;                // "nref": reflections in the block
  int NDim95 = 3;              // "ndim95": indices per reflection, 3..6
  double Lambda = kUnsetReal;  // "lambda": wavelength, Angstrom
  int RadType = 0;             // "radtype": 1 X-ray, 2 neutron, 3 electron; 0 not given
  double DatCollTemp = 293.;   // "datcolltemp": K
  std::vector<double> Cell =
      std::vector<double>(6, kUnsetReal);  // "cell": a,b,c (A), al,be,ga (deg)
  std::vector<double> QVec;                // "qvec": 3 reals per modulation vector, <= 3 vectors
  double Mi = 0.;                          // "mi": linear absorption coefficient, 1/mm
  double Radius = 0.;                      // "radius": radius of a spherical crystal, mm
  std::vector<double> Face;                // "face": h k l distance(mm) per crystal face
  std::vector<double> OrMat =
      std::vector<double>(9, 0.);  // "ormat": 3x3 orientation matrix, row-major, 1/A
  std::vector<double> TrMat;       // "trmat": n x n transformation matrix, row-major (n*n values)
  std::vector<int> MMax;           // "mmax": largest |satellite index| per modulation vector
  int DiffSat = 0;                 // "diffsat": satellites measured separately (0/1)
  std::vector<int> Gauss = std::vector<int>(3, 0);  // "gauss": Gaussian grid for absorption
  std::vector<double> CommCell = std::vector<double>(6, kUnsetReal);  // "commcell"
  std::vector<double> CommQVec;  // "commqvec": 3 reals per vector
  std::vector<double> TrCell = std::vector<double>(6, kUnsetReal);  // "trcell": transformed cell
  std::string FileDate;                                             // "filedate": text
  std::string FileTime;                                             // "filetime": text
  std::string Format;           // "format": non-standard reflection record format, or empty
  int TwRead = 0;               // "twread": twin domains read from the file (0/1)
  double MonAngle = 0.;         // "monangle": monochromator angle, deg
  int Polarization = 1;         // "polarization": Lorentz-polarisation option as "lpfactor"
  double PerfMono = 0.5;        // "perfmono"
  int NAlpha = 1;               // "nalpha"
  double KAlpha1 = kUnsetReal;  // "kalpha1": A
  double KAlpha2 = kUnsetReal;  // "kalpha2": A
  double KAlphaR = 0.5;         // "kalphar"
  // Time-of-flight constants in the order of their keywords ("toftth" ... "tofbeta1e").
  double TofTth = 0., TofDifc = 0., TofDifb = 0., TofDifa = 0., TofZero = 0., TofCt = 0.,
         TofAt = 0., TofZeroT = 0., TofCe = 0., TofZeroE = 0., TofWCross = 0., TofTCross = 0.,
         TofSigQ = 0., TofSig2 = 0., TofSig1 = 0., TofSig0 = 0., TofGam2 = 0., TofGam1 = 0.,
         TofGam0 = 0., TofAlfa0 = kUnsetReal, TofAlfa1 = kUnsetReal, TofBeta0 = kUnsetReal,
         TofBeta1 = kUnsetReal, TofBetaQ = 0., TofAlfa0T = kUnsetReal, TofAlfa1T = kUnsetReal,
         TofBeta0T = kUnsetReal, TofBeta1T = kUnsetReal, TofAlfa0E = kUnsetReal,
         TofAlfa1E = kUnsetReal, TofBeta0E = kUnsetReal, TofBeta1E = kUnsetReal;
  int TofJason = 0;                                // "tofjason": peak-shape function choice
  int NLines = 0;                                  // "nlines"
  double ScMax = 0.;                               // "scmax"
  int Correspond = 0;                              // "correspond"
  double Scale = 1.;                               // "scale"
  double EdOffset = 0., EdSlope = 0., EdTth = 0.;  // "edoffset", "edslope", "edtth"
  int PwdMethod = 0;                               // "pwdmethod"
  int Hklf5 = 0;                                   // "hklf5"
  std::string IncSpectFile;                        // "incspectfile"
  std::string InsParFile;                          // "insparfile"
  std::vector<double> CellEsd = std::vector<double>(6, 0.);      // "cellesd"
  std::vector<double> CommCellEsd = std::vector<double>(6, 0.);  // "commcellesd"
  int ImpOnlySat = 0;                                            // "imponlysat"
  double AlphaGMono = 0., BetaGMono = 0.;                        // "alphagmono", "betagmono": deg
  std::vector<int> RunFrames;  // "run": frames of each run (<= kMaxRuns runs)
  int FrameGr = 0;             // "framegr": frames per scaling group
  double CutMinAve = kUnsetReal, CutMaxAve = kUnsetReal;  // "cutminave", "cutmaxave"
  int NRefMaxAve = 0;                                     // "nrefmaxave"
  int SphEven = 0, SphOdd = 0;   // "spheven", "sphodd": spherical-harmonics orders
  std::vector<double> ScFrList;  // "scfrlist": frame-group scales
  std::vector<double> SphList;   // "sphlist": spherical-harmonics coefficients
  std::string PgAve;             // "pgave": point group used in averaging
  double FLimCullAve = -1.;      // "flimcullave"
  int XdDirCos = 0;              // "xddircos": direction cosines present (0/1)
  int UseExpCorr = 0;            // "useexpcorr": I and sigma kept with the correction factors
  double MagField = kUnsetReal;  // "magfield": T
  int MagPol = 0;                // "magpol": polarised neutrons (0/1)
  double MagPolPlus = kUnsetReal, MagPolMinus = kUnsetReal;  // "magpolplus", "magpolminus"
  int ScFrMethod = 0;                                        // "scfrmethod"
  double DelMi = 0.;                                         // "delmi": uncertainty of "mi", 1/mm

  bool operator==(const M95Block&) const = default;
};

// Header of one M90 data block. Member initialisers are the defaults that
// SetBasicM90 restores.
struct M90Block {
  std::string Name;            // "datblock" value: block name
  int NDim = 3;                // indices per reflection; not in the file, from the basic data
  double Lambda = kUnsetReal;  // "lambda": A
  int RadType = 1;             // "radtype"
  int LpFactor = 1;            // "lpfactor"
  int NAlpha = 1;              // "nalpha"
  double MonAngle = 0.;        // "monangle": deg
  double KAlpha1 = kUnsetReal, KAlpha2 = kUnsetReal;  // "kalpha1", "kalpha2": A
  double KAlphaR = 0.5;                               // "kalphar"
  double DatCollTemp = 293.;                          // "datcolltemp": K
  int DatType = 1;                                    // "dattype": 1 single crystal, 2 powder
  int NRef = 0;                                       // "nref"
  double FLimPrint = 5.;                              // "flimprint"
  double FLimCull = -1.;                              // "flimcull"
  int IndSlowest = 3, IndFastest = 1;                 // "indslowest", "indfastest"
  int DataAve = 1;                                    // "dataave"
  int AddCentrSymm = 0;                               // "addcentrsymm"
  int SigIMethod = 1;                                 // "sigimethod"
  int MultAve = 1;                                    // "multave"
  double ObsLim = 3.;                                 // "obslim": in sigma(I)
  double ScaleLim = 10.;                              // "scalelim"
  int DiffScales = 2;                                 // "diffscales"
  std::vector<int> ScNoScheme;                        // "scnoscheme": scale number per input scale
  int NoRefItems = 1;                                 // "norefitems"
  double PerfMono = 0.5;                              // "perfmono"
  double TofTth = 0., TofDifc = 0., TofDifb = 0., TofDifa = 0., TofZero = 0., TofCt = 0.,
         TofAt = 0., TofZeroT = 0., TofCe = 0., TofZeroE = 0., TofWCross = 0., TofTCross = 0.,
         TofSigQ = 0., TofSig2 = 0., TofSig1 = 0., TofSig0 = 0., TofGam2 = 0., TofGam1 = 0.,
         TofGam0 = 0., TofAlfa0 = kUnsetReal, TofAlfa1 = kUnsetReal, TofBeta0 = kUnsetReal,
         TofBeta1 = kUnsetReal, TofBetaQ = 0., TofAlfa0T = kUnsetReal, TofAlfa1T = kUnsetReal,
         TofBeta0T = kUnsetReal, TofBeta1T = kUnsetReal, TofAlfa0E = kUnsetReal,
         TofAlfa1E = kUnsetReal, TofBeta0E = kUnsetReal, TofBeta1E = kUnsetReal;
  int TofJason = 0;                                // "tofjason"
  double EdOffset = 0., EdSlope = 0., EdTth = 0.;  // "edoffset", "edslope", "edtth"
  int PwdMethod = 0;                               // "pwdmethod"
  int Hklf5 = 0;                                   // "hklf5"
  int UseIncSpect = 0;                             // "useincspect"
  int EFormat91 = 0;                               // "eformat91": 1 = I and sigma as e15.6
  double AlphaGMono = 0., BetaGMono = 0.;          // "alphagmono", "betagmono": deg
  int AveSigWt = 0;                                // "avesigwt"
  int XdDirCos = 0;                                // "xddircos"
  double MagField = kUnsetReal;                    // "magfield": T
  int MagPol = 0;                                  // "magpol"
  double MagPolPlus = kUnsetReal, MagPolMinus = kUnsetReal;  // "magpolplus", "magpolminus"
  double ScToM90 = 1.;                                       // "sctom90"
  // "instab": signed instability factor u of the block from the scatter of
  // its equivalents (datared/instab_u.hpp); kUnsetReal when not estimated.
  double InstabU = kUnsetReal;

  bool operator==(const M90Block&) const = default;
};

// One M95 reflection (two lines in the file).
struct M95Refl {
  int No = 0;                  // serial number
  int H[kReflMaxNDim] = {};    // h, k, l and satellite indices; NDim95 used
  double Geom[4] = {};         // 2theta, omega, chi, phi (deg) of the measurement
  double I = 0., SigI = 0.;    // intensity and sigma(I), corrections removed (see useexpcorr)
  double FrameInRun = 0.;      // frame number within its run (replaces the file's f10.3 field)
  int ISc = 1;                 // scale group (0 in the file reads as 1)
  int ITw = 1;                 // twin domain (0 in the file reads as 1)
  int IFlag = 0;               // 0 normal, otherwise excluded from further use
  double Bg = 0., SigBg = 0.;  // background and its sigma
  double Tbar = 0.;            // mean absorption path length, mm
  double DirCos[6] = {};       // direction cosines of incident and diffracted beams
  double Trans = 0.;           // transmission factor (0 = not given)
  int Run = 1;                 // measurement run, 1-based (from the frame number)
  double Corr[2] = {1., 1.};   // multiplicative correction factors (> 0)

  bool operator==(const M95Refl&) const = default;
};

// One M90 reflection (one line in the file).
struct M90Refl {
  int H[kReflMaxNDim] = {};  // indices, NDim used
  double I = 0., SigI = 0.;  // intensity and sigma(I)
  int ISc = 1;               // scale number
  int ITw = 1;               // twin domain
  int ICull = 0;             // culling flag (0 kept)
  double Tbar = 0.;          // mean absorption path length, mm
  double DirCos[6] = {};     // direction cosines
  double Trans = 0.;         // transmission factor (0 = not given)
  double FrameInRun = 0.;    // frame within run (e15.6)
  long long Run = 0;         // run number (i15); 0 = not given

  bool operator==(const M90Refl&) const = default;
};

// Packing of indices into one integer: offsets o and ranges m per index.
struct IndPackSpec {
  int N = 3;                      // number of indices
  int Offset[kReflMaxNDim] = {};  // o_i
  int Range[kReflMaxNDim] = {};   // m_i (> 0)
};

struct ReflData {
  std::vector<M95Block> M95;       // headers of the M95 reflection blocks
  std::vector<M90Block> M90;       // headers of the M90 data blocks
  std::vector<std::string> Notes;  // non-fatal notes of the last header reading
  ErrorRecord LastError;           // the last failed reading or writing

  // Parallel reflection arrays over the current data set (NRef used entries).
  int NRef = 0;
  IndPackSpec Pack;                      // how HCondAr was packed
  std::vector<long long> HCondAr;        // packed indices (IndPack)
  std::vector<double> RIAr, RSAr;        // intensity, sigma(I)
  std::vector<int> ICullAr;              // culling flag
  std::vector<int> RunCCDAr;             // run number
  std::vector<int> RefBlockAr;           // reflection block, 1-based
  std::vector<int> TwAr;                 // twin domain
  std::vector<double> ThetaArr;          // theta, deg
  std::vector<double> FoAr, FsAr, FcAr;  // Fobs, sigma(Fobs), Fcalc
  // Averaging (NAve used entries).
  int NAve = 0;
  std::vector<double> RIAveAr, RSAveAr;  // averaged intensity and sigma
  std::vector<long long> HCondAveAr;     // packed indices of the averaged reflections
  std::vector<double> DiffAveAr;         // largest deviation within the group
  std::vector<int> NAveRedAr;            // number of reflections averaged
  std::vector<int> Ave2Org;              // averaged -> first original reflection (0-based)
  std::vector<int> OrderAve;             // order of the averaged reflections (0-based)
};

// Grows (or shrinks) the reflection arrays to n entries keeping the contents.
void ReallocRefArrays(int n);
// Grows (or shrinks) the averaging arrays to n entries keeping the contents.
void ReallocAveArrays(int n);

// p = h1 + o1, then p = (hi + oi) + mi * p for i = 2..n. Returns -1 when an
// index lies outside its range (0 <= hi + oi, and hi + oi < mi for i >= 2),
// where the packing would not be unique.
long long IndPack(const int* h, const IndPackSpec& pk);
// Inverse of IndPack.
void IndUnpack(long long p, const IndPackSpec& pk, int* h);

}  // namespace tarn
