#pragma once
// Texts of the averaging, statistics and M90-creation listings and messages.
namespace tarn::avemsg {

inline constexpr const char* kCentrAdd1 = "Center of symmetry will be applied even if the space";
inline constexpr const char* kCentrAdd2 = "group is acentric";
inline constexpr const char* kSigWt = "Weighting by 1/sig(I)^2 will be used in averaging";
inline constexpr const char* kShelxWt =
    "SHELX weighting (avesigwt 2: I/sig(I)^2, 3/sig(I) for I<3sig(I)) will be used in averaging";
inline constexpr const char* kPrintLim1 = "Only reflections |I-I(ave)|>";
inline constexpr const char* kPrintLim2 = "*sig(I(ave)) will be printed";
inline constexpr const char* kPrintFull = "Full print averaged reflections";
inline constexpr const char* kPrintNone = "Print averaged reflections suppressed";
inline constexpr const char* kCull1 = "Reflections |I-I(ave)|>";
inline constexpr const char* kCull2 = "*sig(I(ave)) will be culled";
inline constexpr const char* kNoCull = "no reflection was culled";
inline constexpr const char* kCullCounts = "Culled(fit)/Culled(man)/Culled(auto) : ";
inline constexpr const char* kObs1 = "Reflections with I<";
inline constexpr const char* kObs2 = "*sig(I) will be";
inline constexpr const char* kObs3 = "classified as unobserved";
inline constexpr const char* kTooLarge =
    "Diffraction indices are too large to be sorted and averaged.";
inline constexpr const char* kAllDiscarded = "All reflections were discarded.";
inline constexpr const char* kFewUnique = "The number of unique reflections smaller then 10.";
inline constexpr const char* kRepeat = "Do you want to repeat the selection procedure?";
inline constexpr const char* kM90Cannot = "M90 file cannot be created as file";

inline constexpr const char* kStatHead =
    "Rint and other characteritics as a function of sin(th)/lambda";
inline constexpr const char* kStatSatHead =
    "Rint and other characteritics as a function of satellite index";
inline constexpr const char* kAllRefl = "Main reflections + satellites";
inline constexpr const char* kMainRefl = "Main reflections";
inline constexpr const char* kSatRefl = "Satellites";
inline constexpr const char* kRintObsAll = "Rint(obs/all) = ";
inline constexpr const char* kFor = " for ";
inline constexpr const char* kReflections = " reflections";
inline constexpr const char* kAveragedFrom = "averaged from ";
inline constexpr const char* kRedundancy = "Redundancy = ";

inline constexpr const char* kInstab = "Refined instability factor : ";
inline constexpr const char* kInstabNo1 = "Instability factor could not be refined, there";
inline constexpr const char* kInstabNo2 = "were too few or no redundacy.";

inline constexpr const char* kCoverCalc = "Calculating coverage statistics";
inline constexpr const char* kCoverHead = "Coverage statistics for symmetry defined";
inline constexpr const char* kCoverObs = "Coverage in  % for observed reflections";
inline constexpr const char* kCoverAll = "Coverage in  % for all reflections";

inline constexpr const char* kRejNonInt =
    "Summary of reflections which could not be transformed to integer indices";
inline constexpr const char* kRejUnacc1 = "reflections gave unacceptable";
inline constexpr const char* kRejUnacc2 = "indices.";
inline constexpr const char* kRejExt1 = "reflections rejected as";
inline constexpr const char* kRejExt2 = "systematically extinct.";
inline constexpr const char* kRejStrongest =
    "List of the strongest reflections violating systematic absences:";
inline constexpr const char* kRejNoExt = "There were no rejections due to systematic extinctions.";
inline constexpr const char* kSinGt1 = "It gives sin(theta)>1 and it will be skipped.";
inline constexpr const char* kCondApplied = "The following reflection conditions will be applied:";
inline constexpr const char* kReflConditions = "Reflection conditions of the group:";
inline constexpr const char* kNoCond = "No reflection conditions will be applied";
inline constexpr const char* kTrans1 = "The following transformation will be applied to the";
inline constexpr const char* kTrans2 = "indices from the data collection:";
inline constexpr const char* kRescaled = "Intensities from M95 were rescaled by the factor:";

inline constexpr const char* kScaleHead = "Summary from transformation to the common scale";

}  // namespace tarn::avemsg
