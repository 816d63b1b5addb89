#include "kodi/ConnectionTest.h"

#include "kodi/EventPacket.h"
#include "kodi/EventServer.h"
#include "kodi/JsonRpc.h"
#include "kodi/JsonRpcMessages.h"

#include <thread>

namespace kodi {

namespace {

using Status = platform::HttpClient::Status;
using std::chrono::milliseconds;

std::string seconds(milliseconds t) {
    const auto tenths = (t.count() + 50) / 100;
    return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

// One JSON-RPC call on the session; the reply as it came.
platform::HttpClient::Reply call(platform::HttpClient::Session& session, const Endpoint& endpoint,
                                 const ChannelSettings& settings, const std::string& body,
                                 milliseconds connect, milliseconds reply) {
    platform::HttpClient::Request request;
    request.host = endpoint.host;
    request.port = endpoint.port;
    request.path = JsonRpc::Path;
    request.contentType = "application/json";
    request.body = body;
    request.user = settings.user;
    request.password = settings.password;
    request.connectTimeout = connect;
    request.replyTimeout = reply;
    request.maxReply = JsonRpc::MaxReply;
    return session.post(request);
}

bool isPong(const platform::HttpClient::Reply& reply, std::int64_t id) {
    if (reply.status != Status::Ok || reply.httpStatus != 200) {
        return false;
    }
    const JsonRpcAnswer answer = ReadJsonRpcAnswer(reply.body);
    return answer.valid && answer.hasId && answer.id == id && answer.resultText == "pong";
}

// "Kodi 20.1", asked on a session that has just answered a ping; "Kodi" when it does not say.
std::string nameAndVersion(platform::HttpClient::Session& session, const Endpoint& endpoint,
                           const ChannelSettings& settings, milliseconds connect, milliseconds reply) {
    const auto answer = call(session, endpoint, settings, NameAndVersionBody(2), connect, reply);
    const std::string name =
        answer.status == Status::Ok && answer.httpStatus == 200 ? ReadNameAndVersion(answer.body) : "";
    return name.empty() ? "Kodi" : name;
}

TestReport testJsonRpc(const ChannelSettings& settings, platform::HttpClient* http, const TestOptions& t) {
    const std::optional<Endpoint> endpoint =
        ParseEndpoint(settings.host, settings.port, DefaultWebServerPort);
    if (!endpoint) {
        return {false, "The port is not a port (1 to 65535)."};
    }
    if (settings.user.find(':') != std::string::npos) {
        return {false, "The user name must not contain ':'."};
    }
    if (http == nullptr) {
        return {false, "This build has no network."};
    }
    const std::string where = endpoint->text();
    const auto session = http->openSession();
    const auto reply = call(*session, *endpoint, settings, PingBody(1), t.connect, t.reply);
    switch (reply.status) {
    case Status::Ok:
        break;
    case Status::NoSuchHost:
        return {false, "Unknown host: " + endpoint->host + "."};
    case Status::Refused:
        return {false, "Nothing takes connections at " + where +
                           ". Is Kodi running there, with \"Allow remote control via HTTP\" on?"};
    case Status::ConnectTimedOut:
        return {false, "No answer from " + where + " within " + seconds(t.connect) +
                           ". Is the address right, and the device on?"};
    case Status::TimedOut:
        return {false, where + " took the connection but sent no reply within " + seconds(t.reply) + "."};
    case Status::Dropped:
        return {false, where + " closed the connection without a reply."};
    default:
        return {false, where + " answers, but not as Kodi's web server does."};
    }
    if (reply.httpStatus == 401) {
        return {false, "Kodi at " + where + " refused the user name or password."};
    }
    if (reply.httpStatus != 200) {
        return {false, where + " answered HTTP " + std::to_string(reply.httpStatus) +
                           ": no JSON-RPC of Kodi's there."};
    }
    if (!isPong(reply, 1)) {
        return {false, where + " answers, but not as Kodi's JSON-RPC does."};
    }
    return {true, nameAndVersion(*session, *endpoint, settings, t.connect, t.reply) + " answers at " + where +
                      "; the user name and password are right."};
}

// What Kodi's web server on its default port of the same host says, as a sentence, or nothing.
std::string webServerBeside(const Endpoint& eventServer, const ChannelSettings& settings,
                            platform::HttpClient* http, const TestOptions& t) {
    if (http == nullptr) {
        return "";
    }
    const Endpoint web{eventServer.host, t.webServerPort};
    const auto session = http->openSession();
    const auto reply = call(*session, web, settings, PingBody(1), t.webServer, t.webServer);
    if (reply.status != Status::Ok) {
        return "";
    }
    if (reply.httpStatus == 401) {
        return " A web server at " + web.text() +
               " asks for a user name and password (Kodi's, if it is Kodi).";
    }
    if (!isPong(reply, 1)) {
        return "";
    }
    return " " + nameAndVersion(*session, web, settings, t.webServer, t.webServer) +
           " answers on its web server at " + web.text() + ".";
}

TestReport testEventServer(const ChannelSettings& settings, platform::Sockets* sockets,
                           platform::HttpClient* http, const TestOptions& t) {
    const std::optional<Endpoint> endpoint =
        ParseEndpoint(settings.host, settings.port, DefaultEventServerPort);
    if (!endpoint) {
        return {false, "The port is not a port (1 to 65535)."};
    }
    if (sockets == nullptr) {
        return {false, "This build has no network."};
    }
    const std::string where = endpoint->text();
    const platform::Sockets::Opened opened = sockets->openDatagram(endpoint->host, endpoint->port);
    if (opened.status == platform::Sockets::Status::NoSuchHost) {
        return {false, "Unknown host: " + endpoint->host + "."};
    }
    if (opened.status != platform::Sockets::Status::Ok) {
        return {false, "No datagram can be sent to " + where + "."};
    }
    // A PING from a client Kodi does not know changes nothing there; a host where nothing listens on the port
    // refuses it at once, and the refusal is seen at the next look.
    const Packet ping = EncodePing(1, EventServer::NewToken());
    bool refused = sockets->send(opened.socket, ping.data(), ping.size(), EventServer::SendTimeout) ==
                   platform::Sockets::Status::Refused;
    const auto deadline = std::chrono::steady_clock::now() + t.refusal;
    while (!refused && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
        refused = sockets->pending(opened.socket) == platform::Sockets::Status::Refused;
    }
    sockets->close(opened.socket);
    if (refused) {
        return {false, where + " refuses the datagrams: Kodi is not running there, or its \"Allow remote "
                               "control from applications\" is off."};
    }
    return {true, where + " takes the datagrams. The EventServer sends no answer, so that is all it shows." +
                      webServerBeside(*endpoint, settings, http, t)};
}

} // namespace

TestReport TestConnection(const ChannelSettings& settings, platform::Sockets* sockets,
                          platform::HttpClient* http) {
    return TestConnection(settings, sockets, http, TestOptions{});
}

TestReport TestConnection(const ChannelSettings& settings, platform::Sockets* sockets,
                          platform::HttpClient* http, const TestOptions& options) {
    if (settings.mode == ModeJsonRpc) {
        return testJsonRpc(settings, http, options);
    }
    if (settings.mode == ModeEventServer) {
        return testEventServer(settings, sockets, http, options);
    }
    return {false, "Only Kodi's two modes can be tested."};
}

} // namespace kodi
