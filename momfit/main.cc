#include "momfit/driver.h"
#include "recordio/recordio.h"

int main(int argc, char** argv) { return recordio::run(argc, argv, momfit::fit_main); }
