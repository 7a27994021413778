// kvo_mew: the PLC link. For now a link that can be built, started and
// closed; transports come with the link's own work.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

class VedUzavur {
public:
    VedUzavur(py::object port, py::object baudrate, py::kwargs options)
        : port_(std::move(port)), baudrate_(std::move(baudrate)), options_(std::move(options)) {}
    void start() { open_ = true; }
    void close() { open_ = false; }
    py::object port() const { return port_; }

private:
    py::object port_;
    py::object baudrate_;
    py::dict options_;
    bool open_ = false;
};

} // namespace

PYBIND11_MODULE(kvo_mew, m) {
    m.doc() = "PLC link for kvo_fa machines.";
    py::class_<VedUzavur>(m, "VedUzavur")
        .def(py::init<py::object, py::object, py::kwargs>(), py::arg("port"), py::arg("baudrate") = 9600)
        .def("start", &VedUzavur::start)
        .def("close", &VedUzavur::close)
        .def_property_readonly("port", &VedUzavur::port);
}
