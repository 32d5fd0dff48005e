#pragma once
// JSON payloads of Socket.IO packets to and from message values (rapidjson underneath).
#include <string>
#include <vector>

#include "sio/message.h"

namespace sio {

using buffer = std::shared_ptr<const std::string>;

// Parses one JSON value. With attachments given, {"_placeholder":true,"num":n} objects become the binary
// values attachments[n]; a placeholder whose number is out of range fails the whole payload, as does JSON
// nested deeper than maxDepth or any trailing text.
bool JsonToMessage(const std::string& json, const std::vector<buffer>* attachments, unsigned maxDepth,
                   message::ptr& out);

// Writes a value as JSON; binary values become placeholders numbered in order of appearance and their
// bytes are appended to binaries. An empty pointer and a non-finite real are written as null.
void MessageToJson(const message::ptr& value, std::string& out, std::vector<buffer>& binaries);

}  // namespace sio
