// A reference point: plain Node.js http answering JSON-RPC without any MCP machinery.
// Usage: node node-http.mjs <port> <tools.json>
import http from "node:http";
import { readFileSync } from "node:fs";

const port = Number(process.argv[2]);
const tools = JSON.parse(readFileSync(process.argv[3], "utf8"));

http.createServer(async (req, res) => {
    let body = "";
    for await (const chunk of req) body += chunk;
    const message = JSON.parse(body);
    const result = message.method === "tools/list" ? { tools } : {};
    const text = JSON.stringify({ jsonrpc: "2.0", id: message.id, result });
    res.writeHead(200, { "Content-Type": "application/json", "Content-Length": Buffer.byteLength(text) });
    res.end(text);
}).listen(port, "127.0.0.1", () => console.log(`listening ${port}`));
