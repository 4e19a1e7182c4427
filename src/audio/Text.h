// Text helpers for bytes that come from files, names and users: UTF-8
// decoding that never fails (each ill-formed sequence becomes U+FFFD, NUL
// bytes stay characters), trimming by the Unicode White_Space property, and
// upper-casing.
//
// Upper-casing is the simple one-to-one mapping of towupper_l on a C.UTF-8
// locale object made once, never the process locale (which Qt sets from the
// environment): results do not depend on the user's language, and letters
// whose upper case is longer ("ß") stay as they are.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qm::text {

// Code points of `bytes`; the maximal ill-formed prefix of each broken
// sequence becomes one U+FFFD.
std::u32string decodeUtf8(std::string_view bytes);
void appendUtf8(std::string& out, char32_t cp);
std::string encodeUtf8(std::u32string_view cps);
// `bytes` as valid UTF-8 (unchanged when it already is).
std::string repairUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);
// The length of the well-formed UTF-8 sequence that starts at `at`, or 0
// when the bytes there are ill-formed (or cut off by the end).
size_t wellFormedLength(std::string_view bytes, size_t at);

// The Unicode White_Space property: spaces, tabs and line breaks.
bool isWhiteSpace(char32_t c);
// Tab and the space separators (Zs): white space that is not a line break.
bool isHorizontalSpace(char32_t c);

// Without spaces and tabs at either end (line breaks stay).
std::string_view trimSpacesAndTabs(std::string_view s);

// `bytes` repaired, without White_Space at either end.
std::string trimWhiteSpace(std::string_view bytes);

// `bytes` repaired and upper-cased.
std::string upper(std::string_view bytes);
// One code point upper-cased (itself when it has no single upper case).
char32_t upper(char32_t c);
// Only the ASCII letters lower-cased; every other byte kept.
std::string asciiLower(std::string_view bytes);

}  // namespace qm::text
