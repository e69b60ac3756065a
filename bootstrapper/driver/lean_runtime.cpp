// Small stand-ins for two pieces of the static C++ runtime that cost the stub far more than they
// give it. Linked into bootstrapper.exe only: the tests and the packer keep the library's own.
//
// Every update exe carries the stub, so its size is paid on every download. The library's
// versions of these functions are correct but heavy:
// - The default terminate handler prints the demangled type of the exception in flight to
//   stderr, which pulls in the whole C++ demangler (about 45 KiB). The stub has no console, and
//   wWinMain installs its own handler (which logs) before anything can throw.
// - The std::__throw_* helpers that the containers call on a misuse or an impossible size build
//   std::logic_error and std::runtime_error, whose message is a reference-counted std::string
//   kept for the old ABI; that drags in both instantiations of std::string for char, the
//   exception classes and std::random_device (about 55 KiB in all).
// The stub never catches any of these by type: its only handlers are catch (const
// std::bad_alloc&) and catch (...) (wWinMain, the safe run). So an allocation failure must still
// throw std::bad_alloc (or a type derived from it, as before), and everything else only needs to
// be catchable by catch (...): a small exception type that keeps the message is enough, and the
// run ends exactly as it did with the library's types.
//
// This file replaces every function of the library's functexcept.o, not just the ones used
// today, so that the linker never needs that object; were it pulled in for a helper missing here,
// the link would fail with duplicate definitions instead of quietly growing the stub again.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace boot {
namespace {

// What the library's logic_error and runtime_error families would have carried, without their
// string member. The message is one of the library's string literals.
class RuntimeFailure final : public std::exception {
 public:
  explicit RuntimeFailure(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_ != nullptr ? what_ : "failure"; }

 private:
  const char* what_;
};

[[noreturn]] void ThrowFailure(const char* what) { throw RuntimeFailure(what); }

}  // namespace
}  // namespace boot

namespace __gnu_cxx {

// Only reached when something throws before wWinMain has installed its own handler; the library's
// version would write to a stderr nobody reads and then abort as well.
void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

namespace std {

[[noreturn]] void __throw_bad_alloc() { throw bad_alloc(); }
[[noreturn]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }
[[noreturn]] void __throw_bad_exception() { throw bad_exception(); }
[[noreturn]] void __throw_bad_cast() { throw bad_cast(); }
[[noreturn]] void __throw_bad_typeid() { throw bad_typeid(); }

[[noreturn]] void __throw_logic_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_domain_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_invalid_argument(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_length_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_out_of_range(const char* what) { boot::ThrowFailure(what); }
// The library formats the index into the message; the format alone says where it came from.
[[noreturn]] void __throw_out_of_range_fmt(const char* format, ...) { boot::ThrowFailure(format); }
[[noreturn]] void __throw_runtime_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_range_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_overflow_error(const char* what) { boot::ThrowFailure(what); }
[[noreturn]] void __throw_underflow_error(const char* what) { boot::ThrowFailure(what); }

}  // namespace std
