// Pieces of the XML reader shared by its sources: the encoding table with
// the byte-to-UTF-16 conversions, and the entity table with the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text.h"

namespace xmlenc {

constexpr int kCodePageAnsi = 0;  // the system ANSI code page
constexpr int kCodePageUtf16Le = 1200;
constexpr int kCodePageUtf16Be = 1201;
constexpr int kCodePageUtf32Le = 12000;
constexpr int kCodePageUtf32Be = 12001;
constexpr int kCodePageUtf8 = 65001;

// Names that begin with "UTF-32" (any case) are read by the reader itself.
bool IsUtf32Name(const WString& name);
// Code page of a name through EncodingTable; kCodePageAnsi when the name
// is empty, too long or unknown.
int CodePageFromName(const WString& name);
// iconv's name for a code page, or nullptr when there is none.
const char* IconvName(int codePage);

// Appends bytes converted from the code page; input that cannot be
// converted becomes U+FFFD, as the Windows conversion does.
void AppendFromCodePage(int codePage, const unsigned char* data, size_t size, WString& out);
void AppendFromUtf8(const unsigned char* data, size_t size, WString& out);
// The loose UTF-8 check of the loader: sequence lengths from the lead
// byte, continuation bytes only tested for being 0x80 or more.
bool LooksLikeUtf8(const unsigned char* data, size_t size);

// Rows of EncodingTable (for checks): each is "LLCCCCCname".
size_t EncodingTableSize();
const char* EncodingTableRow(size_t i);

}  // namespace xmlenc

namespace xmlent {

// Appends [b, e) with character and entity references decoded once.
void AppendDecoded(const char16_t* b, const char16_t* e, WString& out);
// Value of a named reference; 0 when unknown. Exact names win; otherwise
// the name is matched without ASCII case.
uint32_t LookupEntity(const char16_t* name, size_t len);

size_t EntityTableSize();

}  // namespace xmlent
