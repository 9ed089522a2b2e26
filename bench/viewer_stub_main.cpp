// The viewer stand-in as a process of its own, as the real viewer is: the
// end-to-end driver starts it, reads the port it listens on from its first
// output line, and ends it by closing its input.
// Usage: quillon_viewer_stub nodelay|nagle
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "viewer_stub.hpp"

int main(int argc, char** argv) {
  const bool noDelay = argc > 1 && std::string(argv[1]) == "nodelay";
  const std::string snapshot = quillon::bench::snapshotBody(size_t{24} << 20);
  quillon::bench::ViewerStub stub(noDelay, snapshot);
  std::printf("%d\n", stub.port());
  std::fflush(stdout);
  // Serves until its input ends, and for ten minutes at most.
  pollfd input{STDIN_FILENO, POLLIN, 0};
  char byte;
  while (poll(&input, 1, 600000) == 1 && read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
