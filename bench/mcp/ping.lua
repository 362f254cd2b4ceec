wrk.method = "POST"
wrk.body = '{"jsonrpc":"2.0","id":1,"method":"ping"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json, text/event-stream"
