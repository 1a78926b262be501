#include "momfit/driver.h"
#include "recordio/recordio.h"

namespace {
momfit::Options chosen;  // read before the run starts
void fit() { momfit::fit_main(chosen); }
}  // namespace

int main(int argc, char** argv) {
  chosen = momfit::options(argc, argv);
  return recordio::run(argc, argv, fit);
}
