#include "ModbusGateway.h"

#include "LoggerMessages.h"

std::vector<TGatewayUnit> GatewayUnits(std::vector<TSiteLink>& links)
{
    std::vector<TGatewayUnit> units;
    for (TSiteLink& link : links) {
        link.Gateway = std::make_shared<TGatewayLink>(link.Meters.size());
        for (std::size_t i = 0; i < link.Meters.size(); ++i) {
            const TSiteMeter& meter = link.Meters[i];
            if (meter.Unit == 0) {
                LoggerMessage(QString("gateway: the meter %1 has no unit, since another meter of the site has its "
                                      "address; give it Unit= in the site file to reach it")
                                  .arg(MeterText(meter.Id)));
                continue;
            }
            units.push_back({meter.Unit, link.Gateway, i});
        }
    }
    return units;
}
