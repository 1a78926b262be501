// The extension _labsuite: the suite's computations as calls from Python,
// wrapped by the package labsuite (labsuite/__init__.py), which gives the
// public names. Nothing here writes a unit or a file, pauses or ends the
// process: a refusal or a read fault comes back as a message, which the
// package raises; the warnings the programs print come back as texts.
// The fits run without the interpreter's lock, on a thread of their own
// while the calling thread runs the signal handlers of Python (Ctrl-C).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cctype>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/deck.h"
#include "bandfit/refine.h"
#include "bandfit/results.h"
#include "demo/demo_data.h"
#include "labsuite/version.h"
#include "momfit/blocks.h"
#include "momfit/fit.h"
#include "momfit/loaders.h"
#include "momfit/model/phi2.h"
#include "momfit/run_report.h"
#include "recordio/recordio.h"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A JSON value as the Python object json.loads would make of its text:
// objects as dicts in the same order, numbers as int or float.
py::object to_python(const nlohmann::ordered_json& j) {
  switch (j.type()) {
    case nlohmann::ordered_json::value_t::object: {
      py::dict d;
      for (const auto& [key, value] : j.items()) d[py::str(key)] = to_python(value);
      return d;
    }
    case nlohmann::ordered_json::value_t::array: {
      py::list l;
      for (const auto& value : j) l.append(to_python(value));
      return l;
    }
    case nlohmann::ordered_json::value_t::string: {
      // Bytes that are not UTF-8 (a name in Latin-1, say) become U+FFFD.
      const std::string& t = j.get_ref<const std::string&>();
      return py::reinterpret_steal<py::str>(
          PyUnicode_DecodeUTF8(t.data(), static_cast<py::ssize_t>(t.size()), "replace"));
    }
    case nlohmann::ordered_json::value_t::boolean:
      return py::bool_(j.get<bool>());
    case nlohmann::ordered_json::value_t::number_integer:
      return py::int_(j.get<std::int64_t>());
    case nlohmann::ordered_json::value_t::number_unsigned:
      return py::int_(j.get<std::uint64_t>());
    case nlohmann::ordered_json::value_t::number_float:
      return py::float_(j.get<double>());
    default:
      return py::none();
  }
}

// A message of ours as a str: the bytes of a file name that are not UTF-8
// (a name from os.listdir, say) come back as the surrogates os.fsdecode
// gives them, so that the name reads as the one the caller gave.
py::str as_str(const std::string& t) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(t.data(), static_cast<py::ssize_t>(t.size()), "surrogateescape"));
}

py::list as_strs(const std::vector<std::string>& ts) {
  py::list l;
  for (const std::string& t : ts) l.append(as_str(t));
  return l;
}

FloatArray copy_of(std::span<const float> values) {
  FloatArray a(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

// One of the file readers on text, with the interpreter's lock released:
// the state it filled, its fault ("" for none) and its warnings.
struct Read {
  std::unique_ptr<momfit::FitState> state = std::make_unique<momfit::FitState>();
  std::string fault;
  std::vector<std::string> warnings;
};
template <class Reader>
Read read_with(Reader reader, std::string_view text, const std::string& name) {
  Read r;
  py::gil_scoped_release unlocked;
  r.fault = reader(text, name, *r.state, r.warnings);
  return r;
}

// read_lab(text, name) -> (fault, momentum, probability, warnings)
py::tuple read_lab(std::string_view text, const std::string& name) {
  const Read r = read_with(momfit::read_lab, text, name);
  const auto n = static_cast<std::size_t>(r.state->three.nlab);
  return py::make_tuple(as_str(r.fault), copy_of(std::span(r.state->two.labmom.data(), n)),
                        copy_of(std::span(r.state->two.labprob.data(), n)), as_strs(r.warnings));
}

// read_profile(text, name) -> (fault, values, warnings)
py::tuple read_profile(std::string_view text, const std::string& name) {
  const Read r = read_with(momfit::read_profile, text, name);
  const auto n = static_cast<std::size_t>(r.state->three.nprof);
  return py::make_tuple(as_str(r.fault), copy_of(std::span(r.state->three.prof.data(), n)),
                        as_strs(r.warnings));
}

// demo_data(seed, noise) -> (lab text, profile text): make_demo_data's two
// files for --seed seed and, by noise, its uniform noise (None), none (0) or
// Gaussian noise of that standard deviation.
py::tuple demo_data(unsigned seed, std::optional<double> noise) {
  demo::DemoRequest r;
  r.seed = seed;
  if (noise) {
    r.noise = *noise > 0.0 ? demo::Noise::gaussian : demo::Noise::none;
    r.sigma = *noise;
  }
  const demo::DemoFiles files = demo::make_demo(r);
  return py::make_tuple(py::bytes(files.lab), py::bytes(files.profile));
}

// bandfit(deck) -> (fault, results, why, warnings): the refusal or read
// fault of the deck (results None then); the --results object with
// "next_deck" (the --deck-out text, None without a correction); why no
// correction was made ("" after a correction or a prediction run).
py::tuple bandfit_run(std::string_view text) {
  // Zero-initialised, as the program's storage is at its start.
  const auto deck = std::make_unique<bandfit::Deck>();
  const auto work = std::make_unique<bandfit::Refinement>();
  const auto summary = std::make_unique<bandfit::Summary>();
  std::vector<std::string> warnings;
  std::string fault;
  nlohmann::ordered_json results;
  std::string why;
  {
    py::gil_scoped_release unlocked;
    fault = bandfit::read_deck(text, *deck, warnings);
    if (fault.empty()) fault = bandfit::deck_fault(*deck);
    if (fault.empty()) {
      bandfit::refine(*deck, *work, *summary);
      results = bandfit::results_object(*deck, *summary);
      const bool corrected = summary->outcome.kind == bandfit::Outcome::completed;
      results["next_deck"] = corrected
                                 ? nlohmann::ordered_json(bandfit::corrected_deck(*deck, *summary))
                                 : nlohmann::ordered_json(nullptr);
      why = summary->outcome.kind == bandfit::Outcome::overflow
                ? bandfit::overflow_text(*deck, *summary)
                : std::string(bandfit::why_uncorrected(summary->outcome));
    }
  }
  if (!fault.empty()) return py::make_tuple(as_str(fault), py::none(), "", as_strs(warnings));
  return py::make_tuple("", to_python(results), as_str(why), as_strs(warnings));
}

std::vector<float> values_of(const FloatArray& a) {
  if (a.ndim() != 1) throw py::value_error("expected a one-dimensional array");
  return {a.data(), a.data() + a.size()};
}

// The model's choice by the names the options take: scale "designed" or
// "fitted", cross "start" or "fitted".
void choose_model(momfit::FitConfig& config, const std::string& scale, const std::string& cross) {
  if (scale != "designed" && scale != "fitted") {
    throw py::value_error("scale: '" + scale + "' is neither designed nor fitted");
  }
  if (cross != "start" && cross != "fitted") {
    throw py::value_error("cross: '" + cross + "' is neither start nor fitted");
  }
  config.scale = scale == "fitted" ? momfit::Scale::fitted : momfit::Scale::designed;
  config.cross = cross == "fitted" ? momfit::Cross::fitted : momfit::Cross::start;
}

// value, an answer or option of the program, as the command line takes it:
// a finite REAL, and above zero where positive.
void check_value(const char* keyword, float value, bool positive = false) {
  if (std::isfinite(value) && (!positive || value > 0.0f)) return;
  throw py::value_error(std::string(keyword) + " needs a " +
                        (positive ? "positive number" : "finite number") + ", not " +
                        py::repr(py::float_(value)).cast<std::string>());
}

// The fit's input from the answers; W1, beta and E0 held as fix names them
// (in any case, as --fix takes them).
momfit::FitInput fit_input(const FloatArray& momentum, const FloatArray& probability,
                           const FloatArray& profile, float e0, float w1, float beta,
                           const std::array<float, 3>& changes, float tolerance,
                           const std::array<float, 2>& masses, std::optional<float> mass_unit,
                           const std::vector<std::string>& fix, bool intervals,
                           const std::string& lab_file, const std::string& profile_file,
                           const std::string& scale, const std::string& cross) {
  check_value("e0", e0);
  check_value("w1", w1);
  check_value("beta", beta);
  for (const float c : changes) check_value("changes", c);
  check_value("tolerance", tolerance);
  if (mass_unit) check_value("mass_unit", *mass_unit, true);
  momfit::FitInput in;
  choose_model(in.config, scale, cross);
  in.e0 = e0;
  in.w1 = w1;
  in.beta = beta;
  in.changes = changes;
  in.tolerance = tolerance;
  in.momentum = values_of(momentum);
  in.probability = values_of(probability);
  in.profile = values_of(profile);
  in.config.m1 = masses[0];
  in.config.m2 = masses[1];
  if (mass_unit) in.config.mass_unit = *mass_unit;
  in.config.profile = profile_file;
  in.lab_file = lab_file;
  in.intervals = intervals;
  const std::array<std::string, 3> names = {"w1", "beta", "e0"};
  for (const std::string& f : fix) {
    std::string lower = f;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = std::find(names.begin(), names.end(), lower);
    if (at == names.end()) throw py::value_error("fix: '" + f + "' is none of W1, beta, E0");
    in.fixed[static_cast<std::size_t>(at - names.begin())] = true;
  }
  return in;
}

// What a fit hands out, kept for Python: every evaluation's chi-square (the
// fifth value of each evaluation log record) and the troubles, said as the
// program says them with --no-wait. The iteration limit resumes a
// minimisation resumes times in all, as that many answers at the program's
// PAUSE would; after that it ends it, as --no-wait does.
class Recorder final : public momfit::FitObserver {
 public:
  explicit Recorder(int resumes) : resumes_(resumes) {}
  void evaluated(std::span<const float> /*x*/, float chi2, const momfit::BestPoint& /*best*/) override {
    chi2s.push_back(chi2);
  }
  void trouble(std::string_view message) override { said.emplace_back(message); }
  bool resume_at_limit() override {
    if (resumes_ > 0) {
      --resumes_;
      return true;
    }
    said.emplace_back(
        "the simplex reached the iteration limit without meeting the tolerance; the best point "
        "so far is kept");
    return false;
  }
  std::vector<float> chi2s;
  std::vector<std::string> said;

 private:
  int resumes_;
};

// The profile points of a scan, per parameter (W1, beta, E0): the values
// and S less S_min there, in increasing value; None when it was not made.
py::object profile_points(const momfit::ProfileScan& scan) {
  if (!scan.done) return py::none();
  py::list parameters;
  for (const auto& points : scan.profile) {
    FloatArray values(static_cast<py::ssize_t>(points.size()));
    py::array_t<double> rises(static_cast<py::ssize_t>(points.size()));
    for (std::size_t k = 0; k < points.size(); ++k) {
      values.mutable_data()[k] = points[k].value;
      rises.mutable_data()[k] = points[k].rise;
    }
    parameters.append(py::make_tuple(values, rises));
  }
  return py::tuple(parameters);
}

const char* outcome_name(momfit::FitOutcome o) {
  switch (o) {
    case momfit::FitOutcome::converged:
      return "converged";
    case momfit::FitOutcome::not_converged:
      return "not_converged";
    case momfit::FitOutcome::iteration_limit:
      return "iteration_limit";
    case momfit::FitOutcome::no_finite_chi2:
      return "no_finite_chi2";
    case momfit::FitOutcome::refused:
      return "refused";
    case momfit::FitOutcome::cancelled:
      return "cancelled";
  }
  return "";
}

// Runs work on a thread of its own, without the interpreter's lock, while
// this thread runs Python's signal handlers every 50 ms (the main thread's
// only: elsewhere there are none to run). A handler that raises
// (KeyboardInterrupt at Ctrl-C) sets stop; once work has ended, its
// exception is raised here. Work ends soon after stop is set.
template <class Work>
void wait_interruptibly(Work work, std::atomic<bool>& stop) {
  auto job = std::async(std::launch::async, std::move(work));
  bool raised = false;
  {
    py::gil_scoped_release unlocked;
    while (job.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      py::gil_scoped_acquire locked;
      if (!raised && PyErr_CheckSignals() != 0) {
        raised = true;
        stop = true;
      }
    }
  }
  if (raised) throw py::error_already_set();
  job.get();
}

// momfit(...) -> (fault, results, outcome, chi2s, warnings, seconds,
// profiles): the refusal or the fault of a fit without a finite chi-square
// (results None then); the --results object; every evaluation's
// chi-square; the fit's own wall-clock time; the scan's profile points
// (profile_points).
py::tuple momfit_run(const FloatArray& momentum, const FloatArray& probability,
                     const FloatArray& profile, float e0, float w1, float beta,
                     const std::array<float, 3>& changes, float tolerance,
                     const std::array<float, 2>& masses, std::optional<float> mass_unit,
                     const std::vector<std::string>& fix, bool intervals, int resume,
                     const std::string& lab_file, const std::string& profile_file,
                     const std::string& scale, const std::string& cross) {
  momfit::FitInput in =
      fit_input(momentum, probability, profile, e0, w1, beta, changes, tolerance, masses,
                mass_unit, fix, intervals, lab_file, profile_file, scale, cross);
  std::atomic<bool> stop{false};
  in.stop = &stop;
  if (resume < 0) {
    throw py::value_error("resume is " + std::to_string(resume) + "; it counts resumptions, from 0");
  }
  Recorder seen(resume);
  momfit::FitResult r;
  nlohmann::ordered_json results;
  double seconds = 0.0;
  wait_interruptibly(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        r = momfit::fit(in, &seen);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r.outcome != momfit::FitOutcome::refused &&
            r.outcome != momfit::FitOutcome::no_finite_chi2) {
          results = momfit::results_object(momfit::run_summary(in, r));
        }
      },
      stop);
  const std::string fault =
      r.outcome == momfit::FitOutcome::refused || r.outcome == momfit::FitOutcome::no_finite_chi2
          ? r.message
          : std::string();
  return py::make_tuple(as_str(fault), fault.empty() ? to_python(results) : py::none(),
                        outcome_name(r.outcome), copy_of(seen.chi2s), as_strs(seen.said), seconds,
                        profile_points(r.scan));
}

// The objective and curve of a fit on fixed data: phi2 at (W1, beta, E0),
// W2 = 0, as every evaluation of a fit computes it. One object serves one
// thread at a time (the interpreter's lock is held during a call: an
// evaluation takes microseconds).
class MomentumModel {
 public:
  MomentumModel(const FloatArray& momentum, const FloatArray& probability,
                const FloatArray& profile, float e0, const std::array<float, 2>& masses,
                std::optional<float> mass_unit, const std::string& lab_file,
                const std::string& profile_file, const std::string& scale,
                const std::string& cross)
      : in_(fit_input(momentum, probability, profile, e0, 0.0f, 0.0f, {}, 0.0f, masses, mass_unit,
                      {}, false, lab_file, profile_file, scale, cross)) {
    if (const std::string why = momfit::check(in_); !why.empty()) throw py::value_error(why);
    state_ = std::make_unique<momfit::FitState>();
    momfit::fill_state(in_, *state_);
    state_->one.bestchi2 = 1.0E38f;
    phi2_ = std::make_unique<momfit::Objective>(*state_);
  }

  float chi2(float w1, float beta, float e0) {
    const std::array<float, 4> x{w1, 0.0f, beta, e0};
    return (*phi2_)(x);
  }

  // The model's curve at (W1, beta, E0), scaled onto the lab data: one value
  // per lab momentum, the curve a fit draws.
  FloatArray curve(float w1, float beta, float e0) {
    chi2(w1, beta, e0);
    const std::span<const float> shown = phi2_->tables().ncalcprob;
    return copy_of(shown.first(in_.momentum.size()));
  }

  float call(const std::vector<float>& x) {
    if (x.size() != 3) throw py::value_error("expected (W1, beta, E0)");
    return chi2(x[0], x[1], x[2]);
  }

  FloatArray momentum() const { return copy_of(in_.momentum); }
  FloatArray probability() const { return copy_of(in_.probability); }
  float e0() const { return in_.e0; }

 private:
  momfit::FitInput in_;
  std::unique_ptr<momfit::FitState> state_;
  std::unique_ptr<momfit::Objective> phi2_;
};

// The model behind self. An object made by __new__ without __init__ has
// none, and pybind11 would hand out storage never constructed: TypeError.
MomentumModel& made(py::handle self) {
  if (!py::isinstance<MomentumModel>(self)) throw py::type_error("expected a MomentumModel");
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(MomentumModel)));
  if (!v_h.holder_constructed()) throw py::type_error("MomentumModel.__init__ was not called");
  return *v_h.value_ptr<MomentumModel>();
}

}  // namespace

PYBIND11_MODULE(_labsuite, m) {
  m.doc() = "The labsuite computations; use the package labsuite.";
  m.attr("__version__") = labsuite::kVersion;
  m.def("read_lab", &read_lab, py::arg("text"), py::arg("name"));
  m.def("read_profile", &read_profile, py::arg("text"), py::arg("name"));
  m.def("demo_data", &demo_data, py::arg("seed"), py::arg("noise"));
  m.def("bandfit", &bandfit_run, py::arg("deck"));
  m.def("momfit", &momfit_run, py::arg("momentum"), py::arg("probability"), py::arg("profile"),
        py::arg("e0"), py::arg("w1"), py::arg("beta"), py::arg("changes"), py::arg("tolerance"),
        py::arg("masses"), py::arg("mass_unit"), py::arg("fix"), py::arg("intervals"),
        py::arg("resume"), py::arg("lab_file"), py::arg("profile_file"), py::arg("scale"),
        py::arg("cross"));
  py::class_<MomentumModel>(m, "MomentumModel")
      .def(py::init<const FloatArray&, const FloatArray&, const FloatArray&, float,
                    const std::array<float, 2>&, std::optional<float>, const std::string&,
                    const std::string&, const std::string&, const std::string&>(),
           py::arg("momentum"), py::arg("probability"), py::arg("profile"), py::arg("e0"),
           py::arg("masses"), py::arg("mass_unit"), py::arg("lab_file"), py::arg("profile_file"),
           py::arg("scale"), py::arg("cross"))
      .def(
          "chi2", [](py::handle m, float w1, float beta, float e0) {
            return made(m).chi2(w1, beta, e0);
          },
          py::arg("w1"), py::arg("beta"), py::arg("e0"))
      .def(
          "curve", [](py::handle m, float w1, float beta, float e0) {
            return made(m).curve(w1, beta, e0);
          },
          py::arg("w1"), py::arg("beta"), py::arg("e0"))
      .def(
          "__call__", [](py::handle m, const std::vector<float>& x) { return made(m).call(x); },
          py::arg("x"))
      .def_property_readonly("momentum", [](py::handle m) { return made(m).momentum(); })
      .def_property_readonly("probability", [](py::handle m) { return made(m).probability(); })
      .def_property_readonly("e0", [](py::handle m) { return made(m).e0(); });
  m.attr("LONGEST_LINE") = recordio::kLongestLine;
}
