// The HTTP side of the Prometheus exporter, through libmicrohttpd in the
// caller's own loop: one descriptor to wait on, no threads. GET (or HEAD)
// /metrics answers with the exposition and / with the fleet page, both
// written by the render callback and gzipped for clients that take it;
// other paths get 404, other methods 405 with Allow. With a web
// configuration, over TLS and only for its users. Connections, request
// sizes and idle time are bounded; connections are kept alive.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include "metrics.h"

struct exporter;
struct web_config;

enum exporter_document { EXPORTER_METRICS, EXPORTER_PAGE };

// Fills `out` with the document; called once per request.
typedef void (*exporter_render)(void* context, exporter_document document, text_buffer* out);

// Listens on `address` (IPv6 addresses take IPv4 too where the system
// allows; the unspecified IPv6 address falls back to IPv4's where there is
// no IPv6), with TLS and passwords as `web` says (nullptr: plain HTTP, no
// passwords; kept by the caller while the exporter runs). nullptr when the
// socket or the server cannot be set up, with errno telling (0 when
// libmicrohttpd refused it).
exporter* exporter_start(const sockaddr* address, socklen_t address_len, const web_config* web,
                         exporter_render render, void* context);

// The descriptor to wait for (readable), and the longest wait in
// milliseconds before exporter_run is due anyway (-1: none).
int exporter_fd(const exporter* e);
int64_t exporter_timeout_ms(exporter* e);

// Serves what is ready, without blocking.
void exporter_run(exporter* e);

void exporter_stop(exporter* e);
