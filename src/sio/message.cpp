#include "sio/message.h"

namespace sio {

namespace {
const std::string kNoText;
const std::shared_ptr<const std::string> kNoBinary = std::make_shared<const std::string>();
const std::vector<message::ptr> kNoItems;
const std::map<std::string, message::ptr> kNoMembers;
}  // namespace

const std::string& message::get_string() const { return kNoText; }
const std::shared_ptr<const std::string>& message::get_binary() const { return kNoBinary; }
const std::vector<message::ptr>& message::get_vector() const { return kNoItems; }
const std::map<std::string, message::ptr>& message::get_map() const { return kNoMembers; }

std::vector<message::ptr>& message::get_vector() {
    thread_local std::vector<ptr> scratch;
    scratch.clear();
    return scratch;
}

std::map<std::string, message::ptr>& message::get_map() {
    thread_local std::map<std::string, ptr> scratch;
    scratch.clear();
    return scratch;
}

std::int64_t IntOf(const message::ptr& m) { return m ? m->get_int() : 0; }

const std::string& TextOf(const message::ptr& m) { return m ? m->get_string() : kNoText; }

message::ptr MemberOf(const message::ptr& m, const std::string& key) {
    if (!m) return nullptr;
    const auto& members = static_cast<const message&>(*m).get_map();
    auto it = members.find(key);
    return it == members.end() ? nullptr : it->second;
}

}  // namespace sio
