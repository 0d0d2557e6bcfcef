// The HTTP side of the Prometheus exporter, through libmicrohttpd in the
// caller's own loop: one descriptor to wait on, no threads. GET (or HEAD)
// /metrics answers with the text that the render callback writes; other
// paths get 404, other methods 405. Connections, request sizes and idle
// time are bounded.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "metrics.h"

struct exporter;

// Fills `out` with the exposition; called once per scrape.
typedef void (*exporter_render)(void* context, text_buffer* out);

// Listens on `address`; nullptr when the socket or the server cannot be set
// up, with errno telling (0 when libmicrohttpd refused it).
exporter* exporter_start(const sockaddr_in* address, exporter_render render, void* context);

// The descriptor to wait for (readable), and the longest wait in
// milliseconds before exporter_run is due anyway (-1: none).
int exporter_fd(const exporter* e);
int64_t exporter_timeout_ms(exporter* e);

// Serves what is ready, without blocking.
void exporter_run(exporter* e);

void exporter_stop(exporter* e);
