#pragma once
// Formatted input through a Fortran FORMAT statement, as files of other
// crystallographic programs declare it for their records (for example
// "(3i4,2f8.2,i4,6f8.5)").
//
// Supported edit descriptors: Iw[.m], Fw.d, Ew.d[Ee], Dw.d, Gw.d, ESw.d,
// ENw.d, nX, Aw (text, skipped), repeat counts in front of a descriptor and
// of a parenthesised group, e.g. "2(i4,f8.2)". Slashes, positioning (T, TL,
// TR), scale factors (kP), BZ/BN and character constants are refused.
//
// Reading follows the Fortran rules for formatted input with blanks ignored
// (BN): a blank field reads as zero; a real field without a decimal point has
// d implied decimals ("  1234" read with F8.2 is 12.34); the exponent may be
// written "E-3", "D-3" or just "-3" after the mantissa.
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// One edit descriptor after the expansion of repeat counts.
struct FortranField {
  char Kind = 'X';   // 'I' integer, 'R' real (F, E, D, G, ES, EN), 'X' skipped (X, A)
  int Col = 0;       // first column of the field in the record, 0-based
  int Width = 0;     // columns
  int Decimals = 0;  // d of a real descriptor (implied decimals), 0 otherwise
};

// Upper bound on the number of fields after the expansion of repeat counts;
// a larger format is refused (it is a garbled line, not a record layout).
inline constexpr int kFortranMaxFields = 1000;

// Parses a format specification (surrounding parentheses optional, case and
// blanks ignored; text after the closing parenthesis is ignored) into fields
// with their columns. Returns 0 on success; on
// failure 1 with a description of the fault in err.
[[nodiscard]] int ParseFortranFormat(std::string_view text, std::vector<FortranField>& out,
                                     std::string& err);

// Number of data fields (I and real) of a parsed format.
int FortranDataCount(const std::vector<FortranField>& f);

// Reads one record: vals receives one value per data field in order (integers
// exactly representable). A field that lies wholly beyond the end of the line
// reads as zero, as Fortran pads short records with blanks; present receives
// the number of data fields that begin before the end of the line, so that a
// caller can insist on the fields it needs. Returns 0, or the 1-based number
// of the first data field that does not read (vals then incomplete).
[[nodiscard]] int ReadFortranRecord(std::string_view line, const std::vector<FortranField>& f,
                                    std::vector<double>& vals, int& present);

// One field's text read as an Iw integer or an Fw.d real; false when the text
// is not a number of that kind.
bool ReadFortranInt(std::string_view field, long long& v);
bool ReadFortranReal(std::string_view field, int decimals, double& v);

}  // namespace tarn
