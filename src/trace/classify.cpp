#include "trace/classify.hpp"

#include "wire/message_header.hpp"

namespace drovik::trace {

Classified classify(std::string_view datagram) {
    // A GET as the server reads it; a DATA as the clients do, its payload at least as long
    // as it says.
    if (const auto get = read_message_header(datagram, "GET", HeaderForm::exact);
        get && get->size == datagram.size()) {
        return {Kind::get, get->offset, get->length};
    }
    if (const auto data = read_message_header(datagram, "DATA", HeaderForm::lenient);
        data && datagram.size() - data->size >= data->length) {
        return {Kind::data, data->offset, data->length};
    }
    return {Kind::other, 0, 0};
}

std::string_view kind_name(Kind kind) {
    switch (kind) {
    case Kind::get:
        return "GET";
    case Kind::data:
        return "DATA";
    case Kind::other:
        break;
    }
    return "other";
}

}  // namespace drovik::trace
