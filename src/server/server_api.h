#pragma once
// The agent's side of the exam server's HTTP/JSON interface: ten blocking calls, each building one request
// to the endpoint its caller gives, and returning true or false with its results in output parameters.
// Every failure is logged by the call itself; nothing throws out of it.
#include <atomic>
#include <string>

#include "base/server_endpoint.h"
#include "server/server_answers.h"

// The server's version text in "data" (also when "code" is not 1000).
bool GetVersionInfo(const ServerEndpoint& server, std::string& serverVersion);

// Download into the file at targetPath (created or truncated). A failed transfer leaves what was written.
// stop, when given, ends a transfer under way: a download of many minutes must not hold up the agent's end.
bool DownloadTavrelSetup(const ServerEndpoint& server, const std::string& targetPath,
                         const std::atomic<bool>* stop = nullptr);
// The module continues a file already at targetPath with a Range request; when the server does not continue
// it, the file is fetched again from byte 0 in the same call. No time limit: a stall or stop ends it. A failed
// transfer leaves the file only when it can be continued: a write error (a full disk), an oversized answer,
// a server that did not continue, or a status whose body is no module deletes it.
bool DownloadExamModule(const ServerEndpoint& server, const std::string& targetPath,
                        const std::atomic<bool>* stop = nullptr);

// True for a known machine (code 1000) and for one the server does not know, which gets ecpId "-1" and
// nothing else touched. tavrelType, examineeId and ecpPixel keep their values when the server leaves them out.
bool GetStartupInfoAgent(const ServerEndpoint& server, const std::string& ip, const std::string& ecpKey,
                         ServiceStartupInfo& info);

bool RegisteTavrel(const ServerEndpoint& server, const std::string& ecpRoom, const std::string& ecpKey,
                   const std::string& ecpHostName, const std::string& ecpIp, std::string& ecpId);

// The digest of the current module package, in whatever case the server writes it.
bool GetExamModuleInfo(const ServerEndpoint& server, std::string& md5);

// message is always something the settings dialog can show.
bool ModifyEcpNo(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                 std::string& message);

// terminated, when given, ends the retries of a call that the agent's shutdown is waiting for.
bool SendEcpState(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                  const std::string& ecpIp, const std::string& ecpVersion, const std::string& ecpRoomCode, int status,
                  const std::atomic<bool>* terminated = nullptr);

// A missing file still reports the answer, with checksum "-1" and no file part.
bool UploadExamAnswer(const ServerEndpoint& server, const std::string& taskId, const std::string& examineeId,
                      const std::string& batchNum, const std::string& filePath,
                      const std::atomic<bool>* terminated = nullptr);

bool UploadExamLog(const ServerEndpoint& server, const std::string& ecpKey, const std::string& ecpId,
                   const std::string& filePath);
