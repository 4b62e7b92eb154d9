// Serves the page on :3000, a plain sink on :3001 that discards bodies, and takes the results.
const http = require('http');
const fs = require('fs');
const cors = {'Access-Control-Allow-Origin': 'http://localhost:3000', 'Access-Control-Allow-Headers': 'Content-Type, Authorization', 'Access-Control-Allow-Methods': 'POST, OPTIONS', 'Access-Control-Max-Age': '600', 'Access-Control-Allow-Private-Network': 'true'};
const handler = (req, res) => {
  if (req.url.split('?')[0] === '/') { res.writeHead(200, {'Content-Type': 'text/html'}); res.end(fs.readFileSync(__dirname + '/page.html')); return; }
  if (req.method === 'OPTIONS') { res.writeHead(204, cors); res.end(); return; }
  if (req.url === '/sink') { req.on('data', () => {}); req.on('end', () => { res.writeHead(200, cors); res.end('{}'); }); return; }
  if (req.url === '/result') { let b=''; req.on('data', d => b += d); req.on('end', () => { res.writeHead(200, cors); res.end(); process.stdout.write(b + '\n'); }); return; }
  res.writeHead(404); res.end();
};
http.createServer(handler).listen(3000, '127.0.0.1');
http.createServer(handler).listen(3001, '127.0.0.1');
