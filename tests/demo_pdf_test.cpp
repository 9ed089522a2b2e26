#include "pdf.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>

#include "model.hpp"
#include "viewport.hpp"

namespace quillon::demo {
namespace {

// What a PDF reader relies on to find the objects: the cross-reference table
// that startxref names, one entry per object, each pointing at "n 0 obj".
struct Structure {
  std::string error;
  std::map<int, std::string> objects;  // number -> text up to "endobj"
};

Structure failure(std::string error) {
  Structure s;
  s.error = std::move(error);
  return s;
}

Structure readStructure(const std::string& pdf) {
  Structure s;
  if (pdf.rfind("%PDF-1.", 0) != 0) return failure("no header");
  const size_t marker = pdf.rfind("startxref\n");
  if (marker == std::string::npos || !pdf.ends_with("%%EOF\n"))
    return failure("no startxref or %%EOF");
  const size_t xref = std::strtoul(pdf.c_str() + marker + 10, nullptr, 10);
  if (pdf.compare(xref, 5, "xref\n") != 0) return failure("startxref does not point at xref");
  std::smatch header;
  const std::string table = pdf.substr(xref);
  if (!std::regex_search(table, header, std::regex("^xref\n0 (\\d+)\n")))
    return failure("bad xref header");
  const int count = std::stoi(header[1]);
  const size_t entries = xref + header.length(0);
  if (pdf.compare(entries, 20, "0000000000 65535 f \n") != 0) return failure("bad free entry");
  for (int n = 1; n < count; ++n) {
    const std::string entry = pdf.substr(entries + 20 * n, 20);
    if (!std::regex_match(entry, std::regex("\\d{10} 00000 n \n")))
      return failure("bad entry " + entry);
    const size_t offset = std::stoul(entry.substr(0, 10));
    const std::string opening = std::to_string(n) + " 0 obj\n";
    if (pdf.compare(offset, opening.size(), opening) != 0) {
      return failure("entry " + std::to_string(n) + " does not point at its object");
    }
    const size_t end = pdf.find("\nendobj\n", offset);
    s.objects[n] = pdf.substr(offset + opening.size(), end - offset - opening.size());
  }
  const std::string trailer = pdf.substr(entries + 20 * count);
  if (trailer.find("/Size " + std::to_string(count) + " ") == std::string::npos ||
      trailer.find("/Root 1 0 R") == std::string::npos) {
    return failure("trailer does not match the table");
  }
  return s;
}

std::string streamOf(const std::string& object) {
  std::smatch length;
  if (!std::regex_search(object, length, std::regex("^<< /Length (\\d+) >>\nstream\n"))) return "?";
  const size_t start = length.length(0);
  const size_t bytes = std::stoul(length[1]);
  if (object.compare(start + bytes, 10, "\nendstream") != 0) return "length does not match";
  return object.substr(start, bytes);
}

TEST(WritePDF, CrossReferenceOffsetsPointAtTheirObjects) {
  PdfPage page;
  page.content = "0 0 1 rg 10 10 100 50 re f\nq /A40 gs 1 0 0 rg 20 20 m 80 80 l h f Q";
  page.opacityStates = {{"A40", 0.4}, {"A75", 0.75}};
  page.title = "house.skp";
  const Structure s = readStructure(writePDF(page));
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.objects.size(), 8u);
  EXPECT_NE(s.objects.at(1).find("/Type /Catalog"), std::string::npos);
  EXPECT_NE(s.objects.at(3).find("/Type /Page "), std::string::npos);
}

TEST(WritePDF, PageCarriesItsSizeContentAndResources) {
  PdfPage page;
  page.width = 842;
  page.height = 595.5;
  page.content = "q /A40 gs 0 0 m 10 10 l S Q\nBT /F1 9 Tf 18 14 Td (hi) Tj ET";
  page.opacityStates = {{"A40", 0.4}};
  const Structure s = readStructure(writePDF(page));
  ASSERT_EQ(s.error, "");
  const std::string& pageObject = s.objects.at(3);
  EXPECT_NE(pageObject.find("/MediaBox [0 0 842 595.5]"), std::string::npos) << pageObject;
  EXPECT_EQ(streamOf(s.objects.at(4)), page.content);
  EXPECT_NE(pageObject.find("/F1 5 0 R"), std::string::npos);
  EXPECT_NE(s.objects.at(5).find("/BaseFont /Helvetica"), std::string::npos);

  // The opacity state the content selects is declared on the page and defined.
  std::smatch state;
  ASSERT_TRUE(std::regex_search(pageObject, state, std::regex("/A40 (\\d+) 0 R")));
  EXPECT_NE(s.objects.at(std::stoi(state[1])).find("/ca 0.4 /CA 0.4"), std::string::npos);
}

TEST(WritePDF, LiteralsAndNumbersStayWithinWhatReadersParse) {
  EXPECT_EQ(pdfLiteral("a(b)\\c"), "(a\\(b\\)\\\\c)");
  // One "?" per character, control characters included.
  EXPECT_EQ(pdfLiteral("caf\xC3\xA9 \xE2\x80\x94 ok\n"), "(caf? ? ok?)");
  EXPECT_EQ(pdfNumber(1190), "1190");
  EXPECT_EQ(pdfNumber(0.5), "0.5");
  EXPECT_EQ(pdfNumber(1.006), "1.01");
  EXPECT_EQ(pdfNumber(-0.001), "0");
  EXPECT_EQ(pdfNumber(-12.3), "-12.3");
}

TEST(FramePDF, ViewportOfAnOpenModelIsAValidVectorPage) {
  ViewerState state;
  state.file = OpenFile{"/models/house.skp", 10};
  state.layers = sampleLayers();
  state.rendering.style = "xray";  // translucent faces need opacity states
  const std::string pdf = framePDF(composeFrame(state, 600, 400), "house.skp", "house (demo)");
  const Structure s = readStructure(pdf);
  ASSERT_EQ(s.error, "");
  const std::string content = streamOf(s.objects.at(4));
  EXPECT_NE(content.find(" l\nh f\n"), std::string::npos) << "no filled faces";
  EXPECT_NE(content.find(" gs\n"), std::string::npos) << "x-ray faces drawn opaque";
  EXPECT_NE(content.find("(house \\(demo\\)) Tj"), std::string::npos);
  EXPECT_NE(s.objects.at(3).find("/MediaBox [0 0 600 400]"), std::string::npos);
}

}  // namespace
}  // namespace quillon::demo
