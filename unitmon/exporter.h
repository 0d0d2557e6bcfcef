// The HTTP side of the Prometheus exporter, through libmicrohttpd, in a
// thread of its own: reception never waits for a scrape. GET (or HEAD)
// /metrics answers with the exposition and / with the fleet page, both
// made from a snapshot of the unit table and gzipped for clients that take
// it; other paths get 404, other methods 405 with Allow. With a web
// configuration, over TLS and only for its users. Connections are kept
// alive.
//
// Each document is rebuilt at most once a second and shared by the
// requests of that second, so a crowd of scrapers costs one rendering a
// second. Connections are accepted here, not by libmicrohttpd: a request
// must arrive whole within a few seconds of its connection (or of the
// previous answer on it), however slowly it trickles, and its answer be
// taken within half a minute; at the connection limit a new connection
// displaces the oldest one still waiting for its request, and a client may
// hold only a few connections.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include "metrics.h"
#include "snapshot.h"

struct exporter;
struct web_config;

enum exporter_document { EXPORTER_METRICS, EXPORTER_PAGE };

// Fills `out` with the document made from `snapshot`; called from the
// exporter's thread.
typedef void (*exporter_render)(void* context, exporter_document document, const fleet_snapshot* snapshot,
                                text_buffer* out);

// Listens on `address` (IPv6 addresses take IPv4 too where the system
// allows; the unspecified IPv6 address falls back to IPv4's where there is
// no IPv6), with TLS and passwords as `web` says (nullptr: plain HTTP, no
// passwords; kept by the caller while the exporter runs), and serves what
// `render` makes of what `source` gives. nullptr when the socket or the
// server cannot be set up, with errno telling (0 when libmicrohttpd
// refused it).
exporter* exporter_start(const sockaddr* address, socklen_t address_len, const web_config* web,
                         snapshot_source source, exporter_render render, void* context);

void exporter_stop(exporter* e);
