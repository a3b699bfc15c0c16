// Values of tags as text: what a program prints for a value read and what it
// accepts for a value to write. A pure core (no I/O, no library calls), shared
// by s7tag and s7mqtt.
//
// A tag's value buffer holds Addr.Count elements in host representation, as
// s7tags.h describes; `index` picks one of them. Texts:
//   BOOL          "true" / "false"; accepted: true, false (any case), 1, 0
//   BYTE WORD DWORD, TIMER (ms), COUNTER   decimal; accepted: decimal or 0x hex
//   INT DINT      decimal with an optional sign
//   REAL          the shortest text that reads back as the same float
//                 ("1.5", "0.1", "1e+20", "inf", "nan"); accepted: any
//                 decimal or exponent form, inf, nan
//   CHAR          the character itself (empty for a zero byte)
//   STRING[n]     the characters as they are (at most n when written)
// Ranges are checked when parsing: a text the type cannot carry is refused
// with a line saying why, and the buffer is left alone.
#pragma once

#include <string>
#include <string_view>

#include "s7tags.h"

namespace s7tag {

// What kind of value an element is (for JSON and for typed languages).
enum class ValueKind { Bool, Integer, Real, Text, None };

ValueKind KindOf(const S7TAGADDR &addr);
// Host bytes of one element (0 for a type it does not know).
int ElementSize(const S7TAGADDR &addr);
// The type's name as in a tag's text: "BOOL", "INT", "STRING[16]", "TIMER", ...
std::string TypeName(const S7TAGADDR &addr);

// Element `index` of the buffer as text ("" for an unknown type or index).
std::string FormatTagValue(const S7TAGADDR &addr, const void *value, int index);
// Every element, joined by `sep`.
std::string FormatTagValues(const S7TAGADDR &addr, const void *value, std::string_view sep = ",");
// Element `index` as a JSON value: a number, true/false, or a quoted string;
// a real that is not finite becomes null. With every element (Count above 1):
// a JSON array.
std::string JsonTagValue(const S7TAGADDR &addr, const void *value, int index);
std::string JsonTagValues(const S7TAGADDR &addr, const void *value);

// Parses `text` into element `index` of the buffer. 0 on success; -1 with
// the reason in `err` (e.g. "300 is out of range for BYTE (0 to 255)").
int ParseTagValue(const S7TAGADDR &addr, std::string_view text, void *value, int index,
                  std::string &err);
// Parses every element: with Count 1 the whole text is the value; with more,
// exactly Count values separated by commas (strings of an array then cannot
// hold a comma). Nothing is stored unless all elements parse.
int ParseTagValues(const S7TAGADDR &addr, std::string_view text, void *value, std::string &err);

// `text` as a JSON string, quotes included; bytes above 0x7F are taken as
// Latin-1 characters (the PLC's strings carry no encoding).
std::string JsonQuote(std::string_view text);

}  // namespace s7tag
