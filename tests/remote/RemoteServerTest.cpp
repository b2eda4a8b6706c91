#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <utility>

#include "remote/RemoteServer.h"

using Kedra::Sonvel::RemoteServer;

// The served API document and the server's routes name the same endpoints, so neither can
// gain one the other lacks.
TEST(RemoteServerTest, OpenApiDocumentNamesEveryRouteAndNoOther) {
    const auto doc = nlohmann::json::parse(RemoteServer::OpenApiDocument());
    ASSERT_EQ(doc.at("openapi").get<std::string>().substr(0, 2), "3.");
    std::set<std::pair<std::string, std::string>> documented;
    for (const auto& [path, item] : doc.at("paths").items())
        for (const auto& [key, value] : item.items())
            if (key != "parameters") {
                std::string method = key;
                std::transform(method.begin(), method.end(), method.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                documented.insert({method, path});
            }
    std::set<std::pair<std::string, std::string>> served;
    for (const RemoteServer::Route& r : RemoteServer::Routes())
        served.insert({r.method, r.path});
    EXPECT_EQ(documented, served);
    EXPECT_GE(served.size(), 12u);
}
