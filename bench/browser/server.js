// Serves the page on :3000 and a plain sink on :3001 that counts the bytes it is sent and answers
// with the same CORS headers as the agent; prints the page's results, then exits.
const http = require('http');
const fs = require('fs');
const cors = {'Access-Control-Allow-Origin': 'http://localhost:3000', 'Access-Control-Allow-Headers': 'Content-Type, Authorization', 'Access-Control-Allow-Methods': 'POST, OPTIONS', 'Access-Control-Max-Age': '600', 'Access-Control-Allow-Private-Network': 'true', 'Vary': 'Origin'};
const handler = (req, res) => {
  if (req.url.split('?')[0] === '/') { res.writeHead(200, {'Content-Type': 'text/html'}); res.end(fs.readFileSync(__dirname + '/page.html')); return; }
  if (req.method === 'OPTIONS') { res.writeHead(204, cors); res.end(); return; }
  if (req.url === '/sink') {
    let bytes = 0;
    req.on('data', d => { bytes += d.length; });
    req.on('end', () => { res.writeHead(200, {...cors, 'Content-Type': 'application/json'}); res.end(`{"received":${bytes}}`); });
    return;
  }
  if (req.url === '/result') {
    let text = '';
    req.on('data', d => { text += d; });
    req.on('end', () => { res.writeHead(200, cors); res.end(); process.stdout.write(text, () => process.exit(0)); });
    return;
  }
  res.writeHead(404); res.end();
};
http.createServer(handler).listen(3000, '127.0.0.1');
http.createServer(handler).listen(3001, '127.0.0.1');
