#include "pdf.hpp"

#include <cstdio>
#include <vector>

namespace quillon::demo {

std::string pdfNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  // Trailing zeros are legal but make the file harder to read by eye.
  std::string out(text);
  while (out.size() > 1 && out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return out;
}

std::string pdfLiteral(const std::string& text) {
  std::string out = "(";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '(' || c == ')' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(c);
    } else if ((byte & 0xC0) != 0x80) {
      out.push_back('?');  // one "?" per character, not per UTF-8 byte
    }
  }
  out.push_back(')');
  return out;
}

std::string writePDF(const PdfPage& page) {
  // Objects in file order; object n is objects[n - 1].
  std::vector<std::string> objects;
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");

  std::string states;
  int nextObject = 7;
  std::vector<std::string> stateObjects;
  for (const auto& [name, opacity] : page.opacityStates) {
    states += "/" + name + " " + std::to_string(nextObject++) + " 0 R ";
    stateObjects.push_back("<< /Type /ExtGState /ca " + pdfNumber(opacity) + " /CA " +
                           pdfNumber(opacity) + " >>");
  }
  std::string resources = "<< /Font << /" + std::string(kPdfFontName) + " 5 0 R >>";
  if (!states.empty()) resources += " /ExtGState << " + states + ">>";
  resources += " >>";
  objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pdfNumber(page.width) + " " +
                    pdfNumber(page.height) + "] /Resources " + resources + " /Contents 4 0 R >>");
  objects.push_back("<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" +
                    page.content + "\nendstream");
  objects.push_back(
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
  objects.push_back("<< /Title " + pdfLiteral(page.title) + " /Producer (quillon-demo-viewer) >>");
  for (std::string& state : stateObjects) objects.push_back(std::move(state));

  // A binary comment on the second line tells transfer tools the file is not text.
  std::string file = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(file.size());
    file += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = file.size();
  file += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const size_t offset : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    file += entry;
  }
  file += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
          " /Root 1 0 R /Info 6 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return file;
}

}  // namespace quillon::demo
