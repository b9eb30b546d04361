#pragma once

#include <QHostAddress>
#include <QTcpServer>

namespace korvalen::test {

// A loopback port nobody listens on right now, so parallel test runs never share one.
inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

}  // namespace korvalen::test
