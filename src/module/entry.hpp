// Declaring a function or method once.
//
// A module function or a method is its body plus one row of a method table:
//
//   PyObject* get_member(const Bound<2>& args) { ... }
//   PyObject* add_member(PyObject* self, const Bound<1>& args) { ... }
//
//   PyMethodDef g_functions[] = {
//       function<"get_member(guild_id, user_id)", get_member>(),
//       function<"prune_users(keep=())", prune_users, "Remove the users ...">(),
//       kEndOfTable,
//   };
//   PyMethodDef g_methods[] = {method<"full_guild", "add_member($self, member)", add_member>(), ...};
//
// The signature text is the declaration.  From it come the parameter list
// that binding uses (the names, how many lead as required: those without a
// default, the function and class names shown in error messages), the row
// (METH_VARARGS | METH_KEYWORDS), and the docstring: the signature, the
// separator "\n--\n\n" the interpreter reads a text signature by, then the
// summary.  The row's C function binds the call to the list and runs the
// body under the fault boundary; a body receives the bound arguments and
// throws to the boundary on failure.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "module/binding.hpp"
#include "module/boundary.hpp"
#include "module/python.hpp"

namespace tarnwick {

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
  char chars[N]{};
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, chars); }  // NOLINT: implicit by design
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

namespace entry_detail {

// A signature "name(a, b, c=default)" taken apart at compile time: the names
// NUL-terminated in `text`, where `starts` points, the function's name first.
template <std::size_t N>
struct Parsed {
  char text[N]{};
  std::array<std::size_t, kMaxParams + 1> starts{};
  std::size_t count = 0;     // parameters, `$self` not counted
  std::size_t required = 0;  // those without a default, which must lead
  bool ok = false;

  constexpr explicit Parsed(std::string_view sig) {
    const std::size_t open = sig.find('(');
    if (open == std::string_view::npos || sig.empty() || sig.back() != ')') return;
    std::copy(sig.begin(), sig.end(), text);
    text[open] = '\0';
    std::size_t i = open + 1;
    const std::size_t close = sig.size() - 1;
    bool defaults_began = false;
    while (i < close) {
      const std::size_t comma = std::min(sig.find(',', i), close);
      std::size_t begin = i;
      while (sig[begin] == ' ') ++begin;
      const std::string_view part = sig.substr(begin, comma - begin);
      const std::size_t eq = part.find('=');
      if (part != "$self") {
        if (count == kMaxParams) return;
        starts[1 + count++] = begin;
        text[begin + std::min(eq, part.size())] = '\0';
        if (eq == std::string_view::npos) {
          if (defaults_began) return;
          ++required;
        } else {
          defaults_began = true;
        }
      }
      i = comma + 1;
    }
    ok = true;
  }
};

// "signature\n--\n\nsummary", NUL-terminated.
template <Literal Sig, Literal Summary>
constexpr auto doc_text() {
  constexpr std::string_view parts[] = {Sig.view(), "\n--\n\n", Summary.view()};
  std::array<char, Sig.view().size() + 5 + Summary.view().size() + 1> out{};
  std::size_t n = 0;
  for (std::string_view p : parts) {
    for (char c : p) out[n++] = c;
  }
  return out;
}

template <Literal Cls, Literal Sig, auto Body, Literal Summary>
struct Entry {
  static constexpr Parsed<sizeof Sig.chars> parsed{Sig.view()};
  static_assert(parsed.ok, "a signature is name(params), required ones first, at most kMaxParams");
  static constexpr std::size_t N = parsed.count;
  static constexpr std::array<const char*, N> names = [] {
    std::array<const char*, N> a{};
    for (std::size_t i = 0; i < N; ++i) a[i] = parsed.text + parsed.starts[1 + i];
    return a;
  }();
  static constexpr auto doc = doc_text<Sig, Summary>();
  static inline Params<N> params{Cls.view().empty() ? nullptr : Cls.chars, parsed.text, names, parsed.required};

  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return run_boundary([&]() -> PyObject* {
      const Bound<N> bound(params, args, kwargs);
      if constexpr (std::is_invocable_v<decltype(Body), PyObject*, const Bound<N>&>) {
        return Body(self, bound);
      } else {
        return Body(bound);
      }
    });
  }

  static PyMethodDef row() {
    // A METH_KEYWORDS function goes in the row's PyCFunction slot; the cast
    // through void (*)() is the one the compiler accepts between function
    // types without a warning.
    return {parsed.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_VARARGS | METH_KEYWORDS, doc.data()};
  }
};

}  // namespace entry_detail

// The method-table row of a module function.
template <Literal Sig, auto Body, Literal Summary = "">
PyMethodDef function() {
  return entry_detail::Entry<"", Sig, Body, Summary>::row();
}

// The row of a method of class `Cls` ("$self" leads its signature).
template <Literal Cls, Literal Sig, auto Body, Literal Summary = "">
PyMethodDef method() {
  return entry_detail::Entry<Cls, Sig, Body, Summary>::row();
}

inline constexpr PyMethodDef kEndOfTable = {nullptr, nullptr, 0, nullptr};

}  // namespace tarnwick
