#pragma once
// Messages of the reflection import, in one place.
#include <string_view>

namespace tarn::impmsg {

inline constexpr std::string_view CannotOpen = "Cannot open the file \"{}\".";
// file, line, what was expected
inline constexpr std::string_view ReadError = "Read error in the file \"{}\", line {}: {}.";
inline constexpr std::string_view NoReflections = "No reflections found in the file \"{}\".";
inline constexpr std::string_view XdsNoEnd = "XDS - the keyword END_OF_HEADER not found.";
inline constexpr std::string_view CifNoData =
    "The file \"{}\" holds neither \"_shelx_hkl_file\" nor a refln loop with indices and "
    "intensities.";
inline constexpr std::string_view NotSupported = "This format is not supported yet.";
// label; followed by the valid labels, one per line
inline constexpr std::string_view UnknownLabel =
    "The format label \"{}\" is unknown. The labels of the formats that can be imported are:";
// file, the file's cell, the structure's cell
inline constexpr std::string_view CellDiffers =
    "Warning: the cell of the file \"{}\" ({}) differs from the cell of the structure ({}).";
inline constexpr std::string_view NDimUnknown =
    "The number of indices of the file \"{}\" cannot be determined from its first lines.";
// What a read error of an HKLF 5 file whose last twin group stays open says.
inline constexpr std::string_view Hklf5Open =
    "the last twin component of a reflection must have a positive batch number";
inline constexpr std::string_view XdsRejected =
    "{} reflections marked as rejected by XDS (sigma < 0) were skipped.";
inline constexpr std::string_view WriteFailed = "The reflection file \"{}\" could not be written.";
inline constexpr std::string_view NDimMismatch =
    "The file has {} indices per reflection but the structure has {}.";

}  // namespace tarn::impmsg
