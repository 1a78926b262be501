// The plotting routines bandfit calls, resolved in the plotting library when
// a plot is first drawn. Linked in, the library and those it pulls in
// (cairo, the X libraries, fonts) cost every run of bandfit about 1 ms at
// start, more than a whole fit, though only --plot draws anything. Each
// routine here has the library's own prototype (from cpgplot.h) and passes
// its arguments on unchanged.
#include <cpgplot.h>
#include <dlfcn.h>

#include <bit>
#include <string>

#include "bandfit/plot.h"

namespace bandfit {
namespace {

constexpr const char* kLibrary = "libcpgplot.so.0";

void* library() {
  static void* const handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

// The library's routine `name`, of type F.
template <class F>
F routine(const char* name) {
  return std::bit_cast<F>(::dlsym(library(), name));
}

}  // namespace

std::string plot_library_fault() {
  if (library() == nullptr) return std::string("cannot load ") + kLibrary + ": " + ::dlerror();
  if (::dlsym(library(), "cpgopen") == nullptr) return std::string(kLibrary) + " has no cpgopen";
  return {};
}

}  // namespace bandfit

// Each routine looks itself up once, on its first call.
#define FORWARD(name, ...)                                                      \
  static const auto library_##name = bandfit::routine<decltype(&name)>(#name); \
  return library_##name(__VA_ARGS__)

extern "C" {
void cpgask(Logical flag) { FORWARD(cpgask, flag); }
void cpgbbuf(void) { FORWARD(cpgbbuf); }
void cpgebuf(void) { FORWARD(cpgebuf); }
void cpgbox(const char* xopt, float xtick, int nxsub, const char* yopt, float ytick, int nysub) {
  FORWARD(cpgbox, xopt, xtick, nxsub, yopt, ytick, nysub);
}
int cpgopen(const char* device) { FORWARD(cpgopen, device); }
void cpgclos(void) { FORWARD(cpgclos); }
void cpgpage(void) { FORWARD(cpgpage); }
void cpglab(const char* xlbl, const char* ylbl, const char* toplbl) {
  FORWARD(cpglab, xlbl, ylbl, toplbl);
}
void cpgline(int n, const float* xpts, const float* ypts) { FORWARD(cpgline, n, xpts, ypts); }
void cpgmtxt(const char* side, float disp, float coord, float fjust, const char* text) {
  FORWARD(cpgmtxt, side, disp, coord, fjust, text);
}
void cpgptxt(float x, float y, float angle, float fjust, const char* text) {
  FORWARD(cpgptxt, x, y, angle, fjust, text);
}
void cpgpt1(float xpt, float ypt, int symbol) { FORWARD(cpgpt1, xpt, ypt, symbol); }
void cpgsch(float size) { FORWARD(cpgsch, size); }
void cpgsci(int ci) { FORWARD(cpgsci, ci); }
void cpgscr(int ci, float cr, float cg, float cb) { FORWARD(cpgscr, ci, cr, cg, cb); }
void cpgsls(int ls) { FORWARD(cpgsls, ls); }
void cpgslw(int lw) { FORWARD(cpgslw, lw); }
void cpgsvp(float xleft, float xright, float ybot, float ytop) {
  FORWARD(cpgsvp, xleft, xright, ybot, ytop);
}
void cpgswin(float x1, float x2, float y1, float y2) { FORWARD(cpgswin, x1, x2, y1, y2); }
}
