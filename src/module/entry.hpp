// Declaring a function or method once: its signature text, its body and
// a summary.  A method table is a list of rows,
//
//   function<"prune_users(keep=())", prune_users, "Remove the users ...">(),
//   method<"full_guild", "add_member($self, member)", add_member>(),
//   kEndOfTable,
//
// and from the signature come the parameter list that binding uses (the
// names; those without a default are required and lead; the names shown in
// error messages), the row (METH_VARARGS | METH_KEYWORDS) and the docstring
// "signature\n--\n\nsummary".  The row's C function binds the call and runs
// the body, `PyObject* body([PyObject* self,] const Bound<N>&)`, under the
// fault boundary; a body throws to it and never catches.
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

  // Plain loops over the characters: the sanitizer builds cannot evaluate
  // string_view's searches at compile time.
  constexpr explicit Parsed(const char (&sig)[N]) {
    std::copy_n(sig, N, text);
    const std::size_t close = N - 2;  // the ')' before the NUL
    std::size_t i = 0;
    while (i < close && text[i] != '(') ++i;
    if (i == close || text[close] != ')') throw "a signature is name(params)";
    text[i++] = '\0';
    text[close] = '\0';
    bool defaults_began = false;
    while (i < close) {
      while (text[i] == ' ') ++i;
      const std::size_t begin = i;
      bool has_default = false;
      for (; i < close && text[i] != ','; ++i) {
        if (text[i] == '=' && !has_default) {
          has_default = true;
          text[i] = '\0';
        }
      }
      text[i++] = '\0';
      if (text[begin] == '$') continue;  // $self
      if (count == kMaxParams) throw "too many parameters";
      starts[1 + count++] = begin;
      if (has_default) {
        defaults_began = true;
      } else if (defaults_began) {
        throw "required parameters must lead";
      } else {
        ++required;
      }
    }
  }
};

// "signature\n--\n\nsummary", NUL-terminated.
template <Literal Sig, Literal Summary>
constexpr auto doc_text() {
  constexpr char kSeparator[] = "\n--\n\n";
  std::array<char, sizeof Sig.chars + sizeof kSeparator + sizeof Summary.chars - 2> out{};
  char* p = std::copy_n(Sig.chars, sizeof Sig.chars - 1, out.data());
  p = std::copy_n(kSeparator, sizeof kSeparator - 1, p);
  std::copy_n(Summary.chars, sizeof Summary.chars, p);
  return out;
}

template <Literal Cls, Literal Sig, auto Body, Literal Summary>
struct Entry {
  static constexpr Parsed<sizeof Sig.chars> parsed{Sig.chars};  // a bad signature fails to compile
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
