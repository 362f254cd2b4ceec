wrk.method = "POST"
wrk.body = '{"jsonrpc":"2.0","id":2,"method":"tools/list"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json, text/event-stream"
