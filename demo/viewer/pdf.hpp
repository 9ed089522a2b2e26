// A minimal writer for one-page vector PDF files.
//
// The caller supplies the page's content stream (PDF drawing operators) and
// the few resources it uses; the writer lays out the objects, the cross-
// reference table and the trailer so that the byte offsets are exact. Pure
// function over plain values: safe from any thread.
#pragma once

#include <map>
#include <string>

namespace quillon::demo {

struct PdfPage {
  double width = 1190;  // points
  double height = 842;  // points
  std::string content;  // the page's drawing operators, uncompressed
  // Graphics states the content selects with "/<name> gs", each setting the
  // fill and stroke opacity to the given value (0..1).
  std::map<std::string, double> opacityStates;
  std::string title;  // document title; non-ASCII characters become "?"
};

// The font resource the content may use with "/F1 <size> Tf": Helvetica, one
// of the fonts every PDF reader carries, so nothing needs embedding.
inline constexpr const char* kPdfFontName = "F1";

// The complete PDF file (version 1.4, which opacity needs).
std::string writePDF(const PdfPage& page);

// `value` as a PDF number: two decimals at most, trailing zeros dropped.
std::string pdfNumber(double value);

// `text` as a PDF literal string, parentheses and backslashes escaped, and
// anything outside printable ASCII replaced by "?".
std::string pdfLiteral(const std::string& text);

}  // namespace quillon::demo
