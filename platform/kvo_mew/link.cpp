#include "link.h"

#include "arguments.h"
#include "errors.h"

namespace mew {
namespace {

std::string text_of(py::handle value) { return py::repr(value).cast<std::string>(); }

uint32_t double_word(const std::vector<uint16_t> &words, size_t i) {
    return uint32_t(words[2 * i]) | (uint32_t(words[2 * i + 1]) << 16);  // low word first
}

} // namespace

Link::Link(py::object port, py::object baudrate, py::dict options)
    : port_(std::move(port)), baudrate_(std::move(baudrate)), options_(std::move(options)) {
    std::string port_text = text_of(port_);
    std::string port_str = PyUnicode_Check(port_.ptr()) ? port_.cast<std::string>() : std::string();
    transport_ = make_transport(port_str, port_text, baudrate_, options_);
}

Link::~Link() {
    if (open_) transport_->close();
}

void Link::open_locked() {
    if (open_) return;
    transport_->open();
    open_ = true;
}

void Link::start() {
    refuse_inside_device_update("a PLC link");
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(mutex_);
    open_locked();
}

void Link::close() {
    refuse_inside_device_update("a PLC link");
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(mutex_);
    if (!open_) return;
    transport_->close();
    open_ = false;
}

bool Link::is_open() {
    refuse_inside_device_update("a PLC link");
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> hold(mutex_);
    return open_;
}

std::string Link::repr() {
    return "<kvo_mew.VedUzavur port=" + text_of(port_) + (is_open() ? " open>" : " closed>");
}

py::bool_ Link::get_coil(py::handle station, py::handle name) {
    const char *op = "get_coil";
    int st = station_arg(op, station);
    Element relay = relay_arg(op, name);
    check(op, st, relay, 1, false);
    return py::bool_(transaction([&](Transport &t) { return t.read_bit(op, st, relay); }));
}

void Link::set_coil(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil";
    int st = station_arg(op, station);
    Element relay = relay_arg(op, name);
    bool on = coil_arg(op, value);
    check(op, st, relay, 1, true);
    transaction([&](Transport &t) { t.write_bit(op, st, relay, on); });
}

py::int_ Link::get_coil_uint16(py::handle station, py::handle name) {
    const char *op = "get_coil_uint16";
    int st = station_arg(op, station);
    Element word = relay_word_arg(op, name);
    check(op, st, word, 1, false);
    return py::int_(transaction([&](Transport &t) { return t.read_words(op, st, word, 1); })[0]);
}

void Link::set_coil_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_coil_uint16";
    int st = station_arg(op, station);
    Element word = relay_word_arg(op, name);
    std::vector<uint16_t> words{uint16_arg(op, value)};
    check(op, st, word, 1, true);
    transaction([&](Transport &t) { t.write_words(op, st, word, words); });
}

std::vector<uint16_t> Link::read_block(const char *op, py::handle station, py::handle name, size_t words_per_item,
                                       py::handle count) {
    int st = station_arg(op, station);
    Element first = word_arg(op, name);
    size_t words = count_arg(op, count) * words_per_item;
    block_arg(op, first, words);
    check(op, st, first, words, false);
    return transaction([&](Transport &t) { return t.read_words(op, st, first, words); });
}

void Link::write_block(const char *op, py::handle station, py::handle name, const std::vector<uint16_t> &words) {
    int st = station_arg(op, station);
    Element first = word_arg(op, name);
    block_arg(op, first, words.size());
    check(op, st, first, words.size(), true);
    transaction([&](Transport &t) { t.write_words(op, st, first, words); });
}

void Link::set_uint16(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint16";
    write_block(op, station, name, {uint16_arg(op, value)});
}

py::list Link::get_multi_uint16(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_uint16", station, name, 1, count);
    py::list result(words.size());
    for (size_t i = 0; i < words.size(); ++i) result[i] = py::int_(words[i]);
    return result;
}

void Link::set_multi_uint16(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint16";
    write_block(op, station, name, uint16_list_arg(op, values));
}

py::int_ Link::get_uint32(py::handle station, py::handle name) {
    py::int_ one(1);
    return py::int_(double_word(read_block("get_uint32", station, name, 2, one), 0));
}

void Link::set_uint32(py::handle station, py::handle name, py::handle value) {
    const char *op = "set_uint32";
    uint32_t v = uint32_arg(op, value);
    write_block(op, station, name, {uint16_t(v & 0xFFFFu), uint16_t(v >> 16)});
}

py::list Link::get_multi_uint32(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_uint32", station, name, 2, count);
    py::list result(words.size() / 2);
    for (size_t i = 0; i < words.size() / 2; ++i) result[i] = py::int_(double_word(words, i));
    return result;
}

void Link::set_multi_uint32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_uint32";
    write_block(op, station, name, uint32_list_arg(op, values));
}

py::list Link::get_multi_int32(py::handle station, py::handle name, py::handle count) {
    std::vector<uint16_t> words = read_block("get_multi_int32", station, name, 2, count);
    py::list result(words.size() / 2);
    for (size_t i = 0; i < words.size() / 2; ++i) result[i] = py::int_(int32_t(double_word(words, i)));
    return result;
}

void Link::set_multi_int32(py::handle station, py::handle name, py::handle values) {
    const char *op = "set_multi_int32";
    write_block(op, station, name, int32_list_arg(op, values));
}

} // namespace mew
