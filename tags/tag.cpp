// Tag texts: "DB10.DBW4", "M20.3", "IW0", "T5", "VW100",
// "DB10.DBB20:STRING[16]", "MB0[16]" read into an S7TAGADDR. One parser for
// every caller (C, Python, the programs); letters in either case. A text that
// does not fit is refused with the 1-based position of the first character
// that does not fit and what was expected there.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "plan.hpp"
#include "s7tags.h"

namespace {

// Width of a memory address: bit, byte, word, double word.
enum class Breite { X, B, W, D };

struct Fehler {
  int Pos;           // 1-based
  const char *Text;  // what was expected there
};

class Leser {
 public:
  explicit Leser(std::string_view s) : m_s(s) {}

  bool Ende() const { return m_i >= m_s.size(); }
  int Pos() const { return static_cast<int>(m_i) + 1; }
  char Sieh() const {
    return Ende() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(m_s[m_i])));
  }
  bool Nimm(char c) {
    if (Sieh() != c || Ende()) return false;
    ++m_i;
    return true;
  }
  // A keyword in either case; taken only when it stands there whole.
  bool NimmWort(std::string_view w) {
    if (m_s.size() - m_i < w.size()) return false;
    for (size_t k = 0; k < w.size(); ++k)
      if (std::toupper(static_cast<unsigned char>(m_s[m_i + k])) != w[k]) return false;
    m_i += w.size();
    return true;
  }
  // Decimal number in Min..Max; false (nothing taken) when there is none or
  // it is out of range.
  bool Zahl(DWORD Min, DWORD Max, DWORD &v) {
    size_t k = m_i;
    DWORD n = 0;
    bool zuGross = false;
    while (k < m_s.size() && std::isdigit(static_cast<unsigned char>(m_s[k]))) {
      n = n * 10 + static_cast<DWORD>(m_s[k] - '0');
      if (n > Max) zuGross = true;
      if (n > 100000000u) n = 100000000u;  // stays above every limit, never wraps
      ++k;
    }
    if (k == m_i || zuGross || n < Min) return false;
    m_i = k;
    v = n;
    return true;
  }

 private:
  std::string_view m_s;
  size_t m_i = 0;
};

constexpr const char *kBereich = "an area: DB, M/F, I/E, Q/A, T, C/Z or V";
constexpr const char *kDBNr = "a data block number 1..65535";
constexpr const char *kByte = "a byte address 0..65535";
constexpr const char *kBitNr = "a bit number 0..7";
constexpr const char *kBreite = "X (bit), B, W or D";
constexpr const char *kNummer = "a number 0..65535";
constexpr const char *kAnzahl = "an element count 1..65535";
constexpr const char *kStrLen = "a string length 1..254";
constexpr const char *kTyp = "a type: BOOL, BYTE, CHAR, WORD, INT, DWORD, DINT, REAL or STRING[n]";
constexpr const char *kBereichEnde = "a range that ends by byte 65535 (number 65535)";

const char *TypeFor(Breite b) {
  switch (b) {
    case Breite::X:
      return "a type for a bit: BOOL";
    case Breite::B:
      return "a type for a byte: BYTE, CHAR or STRING[n]";
    case Breite::W:
      return "a type for a word: WORD or INT";
    case Breite::D:
      return "a type for a double word: DWORD, DINT or REAL";
  }
  return kTyp;
}

// Width letter after an area (B, W, D), or a bit address when a digit
// follows; X only after DB (DBX).
bool Breitenbuchstabe(Leser &l, bool MitX, Breite &b) {
  if (MitX && l.Nimm('X')) return b = Breite::X, true;
  if (l.Nimm('B')) return b = Breite::B, true;
  if (l.Nimm('W')) return b = Breite::W, true;
  if (l.Nimm('D')) return b = Breite::D, true;
  return false;
}

// Byte address, and for a bit its ".n".
bool Adresse(Leser &l, Breite b, S7TAGADDR &a, Fehler &f) {
  DWORD v = 0;
  if (!l.Zahl(0, 65535, v)) return f = {l.Pos(), kByte}, false;
  a.Start = v;
  if (b != Breite::X) return true;
  if (!l.Nimm('.')) return f = {l.Pos(), "'.' and a bit number 0..7"}, false;
  if (!l.Zahl(0, 7, v)) return f = {l.Pos(), kBitNr}, false;
  a.Bit = static_cast<BYTE>(v);
  return true;
}

bool Bereich(Leser &l, S7TAGADDR &a, Breite &b, Fehler &f, int &AdrPos) {
  DWORD v = 0;
  if (l.NimmWort("DB")) {
    if (!l.Zahl(1, 65535, v)) return f = {l.Pos(), kDBNr}, false;
    a.Area = S7_AREA_DB;
    a.DBNr = static_cast<WORD>(v);
    if (!l.Nimm('.')) return f = {l.Pos(), "'.'"}, false;
    if (!l.NimmWort("DB")) return f = {l.Pos(), "DBX, DBB, DBW or DBD"}, false;
    if (!Breitenbuchstabe(l, true, b)) return f = {l.Pos(), kBreite}, false;
    AdrPos = l.Pos();
    return Adresse(l, b, a, f);
  }
  const char c = l.Sieh();
  int Pos = l.Pos();
  switch (c) {
    case 'T':
    case 'C':
    case 'Z':
      l.Nimm(c);
      Pos = AdrPos = l.Pos();
      if (!l.Zahl(0, 65535, v)) return f = {Pos, kNummer}, false;
      a.Area = c == 'T' ? S7_AREA_T : S7_AREA_Z;
      a.Type = c == 'T' ? S7TAG_TIMER : S7TAG_COUNTER;
      a.Start = v;
      return true;
    case 'M':
    case 'F':
      a.Area = S7_AREA_M;
      break;
    case 'I':
    case 'E':
      a.Area = S7_AREA_E;
      break;
    case 'Q':
    case 'A':
      a.Area = S7_AREA_A;
      break;
    case 'V':
      a.Area = S7_AREA_DB;
      a.DBNr = 1;
      break;
    default:
      return f = {Pos, kBereich}, false;
  }
  l.Nimm(c);
  if (!Breitenbuchstabe(l, false, b)) {
    if (!std::isdigit(static_cast<unsigned char>(l.Sieh())))
      return f = {l.Pos(), "B, W, D or a bit address"}, false;
    b = Breite::X;
  }
  AdrPos = l.Pos();
  return Adresse(l, b, a, f);
}

struct TypName {
  const char *Name;
  BYTE Type;
  Breite Fuer;
};

// Longer names first where one begins with another (DWORD before WORD is
// not needed: they differ in the first letter; DINT and DWORD both start
// with D and differ at once).
constexpr TypName kTypen[] = {
    {"BOOL", S7TAG_BOOL, Breite::X},     {"BYTE", S7TAG_BYTE, Breite::B},
    {"CHAR", S7TAG_CHAR, Breite::B},     {"WORD", S7TAG_WORD, Breite::W},
    {"INT", S7TAG_INT, Breite::W},       {"DWORD", S7TAG_DWORD, Breite::D},
    {"DINT", S7TAG_DINT, Breite::D},     {"REAL", S7TAG_REAL, Breite::D},
    {"STRING", S7TAG_STRING, Breite::B},
};

bool Typ(Leser &l, Breite b, S7TAGADDR &a, Fehler &f) {
  const int Pos = l.Pos();
  for (const TypName &t : kTypen) {
    if (!l.NimmWort(t.Name)) continue;
    // a name that goes on with letters is another name
    if (std::isalpha(static_cast<unsigned char>(l.Sieh()))) return f = {Pos, kTyp}, false;
    if (t.Fuer != b) return f = {Pos, TypeFor(b)}, false;
    a.Type = t.Type;
    if (t.Type != S7TAG_STRING) return true;
    DWORD n = 0;
    if (!l.Nimm('[')) return f = {l.Pos(), "'[' and a string length"}, false;
    if (!l.Zahl(1, 254, n)) return f = {l.Pos(), kStrLen}, false;
    if (!l.Nimm(']')) return f = {l.Pos(), "']'"}, false;
    a.StrLen = static_cast<BYTE>(n);
    return true;
  }
  return f = {Pos, kTyp}, false;
}

bool Anzahl(Leser &l, S7TAGADDR &a, Fehler &f) {
  DWORD n = 0;
  if (!l.Zahl(1, 65535, n)) return f = {l.Pos(), kAnzahl}, false;
  if (!l.Nimm(']')) return f = {l.Pos(), "']'"}, false;
  a.Count = static_cast<WORD>(n);
  return true;
}

bool Tag(std::string_view Text, S7TAGADDR &a, Fehler &f) {
  Leser l(Text);
  Breite b = Breite::B;
  a = S7TAGADDR{};
  a.Count = 1;
  int AdrPos = 1;
  if (!Bereich(l, a, b, f, AdrPos)) return false;
  const bool ZeitZaehler = a.Area == S7_AREA_T || a.Area == S7_AREA_Z;
  if (!ZeitZaehler) {
    constexpr BYTE Standard[] = {S7TAG_BOOL, S7TAG_BYTE, S7TAG_WORD, S7TAG_DWORD};
    a.Type = Standard[static_cast<int>(b)];
  }
  int AnzPos = 0;  // where the element count began (0: none)
  if (l.Sieh() == '[') {
    AnzPos = l.Pos() + 1;
    l.Nimm('[');
    if (!Anzahl(l, a, f)) return false;
  }
  bool MitTyp = false;
  if (!ZeitZaehler && l.Nimm(':')) {
    MitTyp = true;
    if (!Typ(l, b, a, f)) return false;
    if (AnzPos == 0 && l.Sieh() == '[') {
      AnzPos = l.Pos() + 1;
      l.Nimm('[');
      if (!Anzahl(l, a, f)) return false;
    }
  }
  if (!l.Ende()) {
    const char *Erwartet = AnzPos != 0             ? "the end of the tag"
                           : ZeitZaehler || MitTyp ? "'[' or the end of the tag"
                                                   : "':', '[' or the end of the tag";
    return f = {l.Pos(), Erwartet}, false;
  }
  if (!tagplan::TagAddrValid(a)) return f = {AnzPos != 0 ? AnzPos : AdrPos, kBereichEnde}, false;
  return true;
}

}  // namespace

extern "C" {

int S7ParseTag(const char *Text, S7TAGADDR *Addr, char *Msg, int MsgMax) {
  Fehler f{1, "a tag"};
  S7TAGADDR a{};
  const bool ok = Text != nullptr && Tag(Text, a, f);
  if (Msg != nullptr && MsgMax > 0) {
    if (ok)
      Msg[0] = '\0';
    else
      std::snprintf(Msg, static_cast<size_t>(MsgMax), "expected %s", f.Text);
  }
  if (!ok) return f.Pos;
  if (Addr != nullptr) *Addr = a;
  return 0;
}

int S7TagValueSize(const S7TAGADDR *Addr) {
  if (Addr == nullptr) return 0;
  const int Elem = tagplan::HostSize(*Addr);
  return Elem * Addr->Count;
}

}  // extern "C"
