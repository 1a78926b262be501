// The plotting library, opened on the first plotting call rather than at
// start. Linked in, it and the libraries it pulls in (cairo, the X
// libraries, fonts) cost every run about 1 ms of start-up, more than a
// bandfit fit, though most runs of a script draw nothing.
//
// A program that links labsuite::plot_library calls the cpg routines of
// <cpgplot.h> as usual; each is a forwarder (plot_library.cc) that looks
// up the library's routine on its first call.
#pragma once

#include <string>

namespace recordio {

// Loads the plotting library if it is not loaded yet: empty when it is
// there, otherwise why not ("cannot load the plotting library (...)"). Call it
// before the first plotting call; a forwarder called without the library
// ends the program with that reason.
std::string plot_library_fault();

}  // namespace recordio
