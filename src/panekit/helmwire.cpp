#include "pk.hpp"
namespace nb = nanobind;
NB_MODULE(helmwire, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
}
