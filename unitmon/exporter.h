// The HTTP side of the Prometheus exporter, through libmicrohttpd, in a
// thread of its own: reception never waits for a scrape. GET (or HEAD)
// /metrics answers with the exposition of a snapshot of the unit table;
// other paths get 404, other methods 405.
//
// The exposition is rebuilt at most once a second and shared by the
// scrapes of that second, so a crowd of scrapers costs one rendering a
// second. Connections are accepted here, not by libmicrohttpd: a request
// must arrive whole within a few seconds of its connection (or of the
// previous answer on it), however slowly it trickles, and its answer be
// taken within half a minute; at the connection
// limit a new connection displaces the oldest one still waiting for its
// request, and a client may hold only a few connections.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "metrics.h"
#include "snapshot.h"

struct exporter;

// Listens on `address` and serves what `source` gives (called from the
// exporter's thread); nullptr when the socket or the server cannot be set
// up, with errno telling (0 when libmicrohttpd refused it).
exporter* exporter_start(const sockaddr_in* address, snapshot_source source, void* context);

void exporter_stop(exporter* e);
