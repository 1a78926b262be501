// Forwarders for the plotting routines the programs and their tests call,
// each with the library's own prototype (from cpgplot.h), passing its
// arguments on unchanged. A routine not listed here fails at link time:
// add a line for it.
#include "run/plot_library.h"

#include <cpgplot.h>
#include <dlfcn.h>

#include <bit>
#include <string>

#include "recordio/recordio.h"

namespace recordio {
namespace {

constexpr const char* kLibrary = "libcpgplot.so.0";

struct Library {
  void* handle = nullptr;
  std::string fault;  // why handle is null
};

// Opened once for the process, on the first call: the library stays
// loaded, as a linked one would.
const Library& library() {
  static const Library loaded = [] {
    Library l;
    l.handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (l.handle == nullptr) {
      const char* why = ::dlerror();
      l.fault = std::string("cannot load the plotting library (") +
                (why != nullptr ? why : kLibrary) + ")";
    } else if (::dlsym(l.handle, "cpgopen") == nullptr) {
      l.fault = std::string(kLibrary) + " has no cpgopen";
    }
    return l;
  }();
  return loaded;
}

// The library's routine `name`, of type F. A program that draws without
// asking plot_library_fault() first, where the library is missing, ends
// here rather than call through a null pointer.
template <class F>
F routine(const char* name) {
  const Library& l = library();
  void* found = l.handle != nullptr ? ::dlsym(l.handle, name) : nullptr;
  if (found == nullptr) {
    fail(!l.fault.empty() ? l.fault : std::string(kLibrary) + " has no " + name);
  }
  return std::bit_cast<F>(found);
}

}  // namespace

std::string plot_library_fault() { return library().fault; }

}  // namespace recordio

// Each routine looks itself up once, on its first call.
#define FORWARD(name, ...)                                                      \
  static const auto library_##name = recordio::routine<decltype(&name)>(#name); \
  return library_##name(__VA_ARGS__)

extern "C" {
void cpgask(Logical flag) { FORWARD(cpgask, flag); }
void cpgbbuf(void) { FORWARD(cpgbbuf); }
int cpgbeg(int unit, const char* file, int nxsub, int nysub) {
  FORWARD(cpgbeg, unit, file, nxsub, nysub);
}
void cpgbox(const char* xopt, float xtick, int nxsub, const char* yopt, float ytick, int nysub) {
  FORWARD(cpgbox, xopt, xtick, nxsub, yopt, ytick, nysub);
}
void cpgclos(void) { FORWARD(cpgclos); }
void cpgebuf(void) { FORWARD(cpgebuf); }
void cpgend(void) { FORWARD(cpgend); }
void cpgenv(float xmin, float xmax, float ymin, float ymax, int just, int axis) {
  FORWARD(cpgenv, xmin, xmax, ymin, ymax, just, axis);
}
void cpgeras(void) { FORWARD(cpgeras); }
void cpglab(const char* xlbl, const char* ylbl, const char* toplbl) {
  FORWARD(cpglab, xlbl, ylbl, toplbl);
}
void cpgline(int n, const float* xpts, const float* ypts) { FORWARD(cpgline, n, xpts, ypts); }
void cpgmtxt(const char* side, float disp, float coord, float fjust, const char* text) {
  FORWARD(cpgmtxt, side, disp, coord, fjust, text);
}
int cpgopen(const char* device) { FORWARD(cpgopen, device); }
void cpgpage(void) { FORWARD(cpgpage); }
void cpgpt(int n, const float* xpts, const float* ypts, int symbol) {
  FORWARD(cpgpt, n, xpts, ypts, symbol);
}
void cpgpt1(float xpt, float ypt, int symbol) { FORWARD(cpgpt1, xpt, ypt, symbol); }
void cpgptxt(float x, float y, float angle, float fjust, const char* text) {
  FORWARD(cpgptxt, x, y, angle, fjust, text);
}
void cpgqcs(int units, float* xch, float* ych) { FORWARD(cpgqcs, units, xch, ych); }
void cpgqid(int* id) { FORWARD(cpgqid, id); }
void cpgqtxt(float x, float y, float angle, float fjust, const char* text, float* xbox,
             float* ybox) {
  FORWARD(cpgqtxt, x, y, angle, fjust, text, xbox, ybox);
}
void cpgqvp(int units, float* x1, float* x2, float* y1, float* y2) {
  FORWARD(cpgqvp, units, x1, x2, y1, y2);
}
void cpgqvsz(int units, float* x1, float* x2, float* y1, float* y2) {
  FORWARD(cpgqvsz, units, x1, x2, y1, y2);
}
void cpgqwin(float* x1, float* x2, float* y1, float* y2) { FORWARD(cpgqwin, x1, x2, y1, y2); }
void cpgrect(float x1, float x2, float y1, float y2) { FORWARD(cpgrect, x1, x2, y1, y2); }
float cpgrnd(float x, int* nsub) { FORWARD(cpgrnd, x, nsub); }
void cpgscf(int font) { FORWARD(cpgscf, font); }
void cpgsch(float size) { FORWARD(cpgsch, size); }
void cpgsci(int ci) { FORWARD(cpgsci, ci); }
void cpgscr(int ci, float cr, float cg, float cb) { FORWARD(cpgscr, ci, cr, cg, cb); }
void cpgsfs(int fs) { FORWARD(cpgsfs, fs); }
void cpgslct(int id) { FORWARD(cpgslct, id); }
void cpgsls(int ls) { FORWARD(cpgsls, ls); }
void cpgslw(int lw) { FORWARD(cpgslw, lw); }
void cpgsubp(int nxsub, int nysub) { FORWARD(cpgsubp, nxsub, nysub); }
void cpgsvp(float xleft, float xright, float ybot, float ytop) {
  FORWARD(cpgsvp, xleft, xright, ybot, ytop);
}
void cpgswin(float x1, float x2, float y1, float y2) { FORWARD(cpgswin, x1, x2, y1, y2); }
void cpgtext(float x, float y, const char* text) { FORWARD(cpgtext, x, y, text); }
void cpgvstd(void) { FORWARD(cpgvstd); }
}
