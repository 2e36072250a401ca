#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "studio/studio.h"
#include "studio/studio_server.h"

int RunStudio(const StudioOptions& options) {
  if (options.port < 0 || options.port > 65535) {
    std::fprintf(stderr, "veldmap studio: --port %d: use 0..65535\n", options.port);
    return 2;
  }
  // SIGINT and SIGTERM are taken by sigwait below rather than a handler, so that stopping the
  // server happens on an ordinary thread; blocked before any thread starts, they stay blocked in all.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

  int code = 0;
  {
    StudioServer server;
    std::string error;
    if (!server.Start(options, &error)) {
      std::fprintf(stderr, "veldmap studio: %s\n", error.c_str());
      code = 1;
    } else {
      std::printf("%s\n", server.Address().c_str());
      if (!options.quiet) std::fprintf(stderr, "veldmap studio: open the address above; Ctrl-C stops the server\n");
      std::fflush(stdout);
      int received = 0;
      sigwait(&stopSignals, &received);
      server.Stop();
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return code;
}
