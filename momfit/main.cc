#include "momfit/driver.h"
#include "recordio/recordio.h"

int main(int argc, char** argv) {
  int end = 0;
  // The command line is read (and refused) inside the run, after the signal
  // handlers are installed and before anything is asked or written.
  const int status = recordio::run(argc, argv, [&] { end = momfit::fit_main(momfit::options(argc, argv)); });
  // An output that failed (status 1) outranks a fit not converged (3).
  return status != 0 ? status : end;
}
