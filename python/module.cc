// The extension _labsuite: the suite's computations as calls from Python,
// wrapped by the package labsuite (labsuite/__init__.py), which gives the
// public names. Nothing here writes a unit or a file, pauses or ends the
// process: a refusal or a read fault comes back as a message, which the
// package raises; the warnings the programs print come back as texts.
// The fits run without the interpreter's lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "bandfit/deck.h"
#include "bandfit/refine.h"
#include "bandfit/results.h"
#include "labsuite/version.h"
#include "momfit/blocks.h"
#include "momfit/loaders.h"

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

FloatArray copy_of(std::span<const float> values) {
  FloatArray a(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

// read_lab(text, name) -> (fault, momentum, probability, warnings)
py::tuple read_lab(std::string_view text, const std::string& name) {
  auto s = std::make_unique<momfit::FitState>();
  std::vector<std::string> warnings;
  std::string fault;
  {
    py::gil_scoped_release unlocked;
    fault = momfit::read_lab(text, name, *s, warnings);
  }
  const auto n = static_cast<std::size_t>(s->three.nlab);
  return py::make_tuple(fault, copy_of(std::span(s->two.labmom.data(), n)),
                        copy_of(std::span(s->two.labprob.data(), n)), warnings);
}

// read_profile(text, name) -> (fault, values, warnings)
py::tuple read_profile(std::string_view text, const std::string& name) {
  auto s = std::make_unique<momfit::FitState>();
  std::vector<std::string> warnings;
  std::string fault;
  {
    py::gil_scoped_release unlocked;
    fault = momfit::read_profile(text, name, *s, warnings);
  }
  const auto n = static_cast<std::size_t>(s->three.nprof);
  return py::make_tuple(fault, copy_of(std::span(s->three.prof.data(), n)), warnings);
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
      why = bandfit::why_uncorrected(summary->outcome);
    }
  }
  if (!fault.empty()) return py::make_tuple(fault, py::none(), "", warnings);
  return py::make_tuple("", to_python(results), why, warnings);
}

}  // namespace

PYBIND11_MODULE(_labsuite, m) {
  m.doc() = "The labsuite computations; use the package labsuite.";
  m.attr("__version__") = labsuite::kVersion;
  m.def("read_lab", &read_lab, py::arg("text"), py::arg("name"));
  m.def("read_profile", &read_profile, py::arg("text"), py::arg("name"));
  m.def("bandfit", &bandfit_run, py::arg("deck"));
}
