#pragma once
// A small client of the room-server's control port (HTTP + JSON), for the channel's tests until the shared
// one serves them. The address comes from TAVREL_ROOM_SERVER ("127.0.0.1:<control port>").
#include <curl/curl.h>
#include <json/json.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

namespace channel_test {

class RoomControl {
public:
    RoomControl() {
        const char* address = std::getenv("TAVREL_ROOM_SERVER");
        if (address) m_address = address;
    }
    explicit RoomControl(std::string address) : m_address(std::move(address)) {}
    bool Available() const { return !m_address.empty(); }

    Json::Value Get(const std::string& path) const { return Call("GET", path, std::string()); }
    Json::Value Post(const std::string& path, const Json::Value& body = Json::Value(Json::objectValue)) const {
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        return Call("POST", path, Json::writeString(w, body));
    }

    std::string Host() const { return m_address.substr(0, m_address.rfind(':')); }
    int SocketPort() const { return Get("/ports")["socket"].asInt(); }
    std::string SocketUrl() const { return "http://" + Host() + ":" + std::to_string(SocketPort()); }

private:
    static size_t Collect(char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    }

    Json::Value Call(const char* method, const std::string& path, const std::string& body) const {
        std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
        std::string url = "http://" + m_address + path;
        std::string answer;
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method);
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
        if (std::string(method) == "POST") {
            curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        }
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &RoomControl::Collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
        CURLcode rc = curl_easy_perform(curl.get());
        curl_slist_free_all(headers);
        Json::Value v;
        if (rc != CURLE_OK) {
            v["ok"] = false;
            v["error"] = curl_easy_strerror(rc);
            return v;
        }
        Json::CharReaderBuilder r;
        std::string errors;
        std::istringstream in(answer);
        if (!Json::parseFromStream(r, in, &v, &errors)) {
            v = Json::Value();
            v["ok"] = false;
            v["error"] = "not JSON: " + answer;
        }
        return v;
    }

    std::string m_address;
};

}  // namespace channel_test
