#include "momfit/driver.h"
#include "recordio/recordio.h"

int main(int argc, char** argv) {
  // The command line is read (and refused) before the run starts.
  const momfit::Options chosen = momfit::options(argc, argv);
  return recordio::run(argc, argv, [&] { momfit::fit_main(chosen); });
}
