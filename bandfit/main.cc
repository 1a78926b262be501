#include "bandfit/deck.h"
#include "recordio/recordio.h"

int main(int argc, char** argv) { return recordio::run(argc, argv, bandfit::bandfit_main); }
