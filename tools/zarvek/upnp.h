// The host's UPnP port mapper, as the hosting supervisor starts it.
#pragma once

namespace zv {

// Starts mapping network_server_start_port and the three after it when
// network_upnp allows: 0, 2 for a start port outside the range (with a
// message), 1 when the thread could not start.
int upnp_start();

// Stops the mapper without waiting for a gateway search in progress.
void upnp_stop();

}  // namespace zv
