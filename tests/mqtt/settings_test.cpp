#include "mqtt/settings.hpp"

#include <gtest/gtest.h>

namespace {

struct UrlCase {
    const char* text;
    bool tls;
    const char* host;
    int port;
    const char* user;      // nullptr for none
    const char* password;  // nullptr for none
};

TEST(BrokerUrl, Accepted) {
    const UrlCase cases[] = {
        {"mqtt://broker", false, "broker", 1883, nullptr, nullptr},
        {"mqtts://broker.example.org", true, "broker.example.org", 8883, nullptr, nullptr},
        {"mqtt://10.0.0.2:1884/", false, "10.0.0.2", 1884, nullptr, nullptr},
        {"mqtt://[::1]:2000", false, "::1", 2000, nullptr, nullptr},
        {"mqtts://[fe80::1]", true, "fe80::1", 8883, nullptr, nullptr},
        {"mqtt://relay@host", false, "host", 1883, "relay", nullptr},
        {"mqtt://relay:@host", false, "host", 1883, "relay", ""},
        {"mqtt://re%6cay:p%40ss:w@rd@host:1", false, "host", 1, "relay", "p@ss:w@rd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto url = mqtt::parseBrokerUrl(c.text, error);
        ASSERT_TRUE(url) << error;
        EXPECT_EQ(url->tls, c.tls);
        EXPECT_EQ(url->host, c.host);
        EXPECT_EQ(url->port, c.port);
        EXPECT_EQ(url->user, c.user ? std::optional<std::string>(c.user) : std::nullopt);
        EXPECT_EQ(url->password, c.password ? std::optional<std::string>(c.password) : std::nullopt);
    }
}

TEST(BrokerUrl, Refused) {
    for (const char* text : {"", "broker", "tcp://broker", "mqtt://", "mqtt://:1883", "mqtt://host:", "mqtt://host:0",
                             "mqtt://host:65536", "mqtt://host:12a", "mqtt://host/topic", "mqtt://host?x",
                             "mqtt://[::1", "mqtt://[::1]x", "mqtt://@host", "mqtt://u%4@host", "mqtt://ho st"}) {
        std::string error;
        EXPECT_FALSE(mqtt::parseBrokerUrl(text, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(Names, GatewaysAndTopicPrefixes) {
    EXPECT_TRUE(mqtt::isGatewayName("gw-1_A"));
    EXPECT_TRUE(mqtt::isGatewayName(std::string(64, 'g')));
    for (const std::string& bad : {std::string(), std::string(65, 'g'), std::string("a.b"), std::string("a/b"),
                                  std::string("a+"), std::string("é")})
        EXPECT_FALSE(mqtt::isGatewayName(bad)) << bad;
    EXPECT_TRUE(mqtt::isTopicPrefix("gattrelay"));
    EXPECT_TRUE(mqtt::isTopicPrefix("site/3/ble"));
    for (const std::string& bad : {std::string(), std::string("/a"), std::string("a/"), std::string("a/+/b"),
                                  std::string("a/#"), std::string("a\0b", 3)})
        EXPECT_FALSE(mqtt::isTopicPrefix(bad)) << bad;
    EXPECT_TRUE(mqtt::isGatewayName(mqtt::defaultGatewayName()));
}

}  // namespace
