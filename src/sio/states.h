#pragma once
// How the client's connection stands, and why it ended.
namespace sio {

// normal: the agent closed it (status 1000); drop: anything else, and a reconnection follows.
enum class close_reason { normal = 0, drop = 1 };
enum class connection_state { opening = 0, opened = 1, closing = 2, closed = 3 };

}  // namespace sio
