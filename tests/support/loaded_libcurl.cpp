// Linked into every suite that goes through libcurl. scripts/curl-matrix runs
// those suites against each libcurl that macOS ships, swapped in at run time,
// and names the version it meant to load; a run that silently loaded another
// library (the system's, say) must not pass. The library is asked, not the
// loader: each build reports the version it was released as.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

namespace {

TEST(LoadedLibcurl, IsTheOneTheRunAskedFor) {
  const char* loaded = curl_version_info(CURLVERSION_NOW)->version;
  std::cout << "libcurl " << loaded << " loaded\n";
  const char* expected = std::getenv("QUILLON_EXPECT_LIBCURL");
  if (!expected) GTEST_SKIP() << "QUILLON_EXPECT_LIBCURL names no version to expect";
  EXPECT_STREQ(loaded, expected);
}

}  // namespace
