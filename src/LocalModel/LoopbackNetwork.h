#pragma once

class QNetworkAccessManager;

namespace korvalen {

// The one network manager of the local-model code, on the main thread: no proxy, no redirect followed,
// so a loopback request can never be sent elsewhere.
QNetworkAccessManager& loopbackNetwork();

}  // namespace korvalen
