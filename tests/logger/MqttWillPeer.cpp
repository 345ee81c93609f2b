// A logger's MQTT output in a process of its own, for the test of its last
// will: it connects its meters (named by the arguments after the port),
// publishes one answered pass of each and waits to be killed.

#include "MqttPublisher.h"
#include "MqttTestSupport.h"

#include <unistd.h>

int main(int argc, char** argv)
{
    TMqttOptions options;
    options.Host = "127.0.0.1";
    options.Port = std::atoi(argv[1]);
    std::vector<TSiteMeterId> meters;
    for (int i = 2; i < argc; ++i)
        meters.push_back(SiteMeter(argv[i], uint8_t(i)));
    TMqttPublisher publisher(options, meters);
    for (const TSiteMeterId& meter : meters)
        publisher.Publish(Reading(meter, {{0, 1.0}}));
    for (;;)
        ::pause();
}
