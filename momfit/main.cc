#include "momfit/driver.h"
#include "recordio/recordio.h"

int main(int argc, char** argv) {
  // The command line is read (and refused) before the run starts.
  const momfit::Options chosen = momfit::options(argc, argv);
  int end = 0;
  const int status = recordio::run(argc, argv, [&] { end = momfit::fit_main(chosen); });
  // An output that failed (status 1) outranks a fit not converged (3).
  return status != 0 ? status : end;
}
