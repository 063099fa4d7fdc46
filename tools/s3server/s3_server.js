#!/usr/bin/env node
'use strict';
// An S3-compatible server for tests and benchmarks: s3rver (from the npm
// registry, pinned in package-lock.json) behind the checks and operations a
// real service has and s3rver lacks.
//
//   node s3_server.js --bucket NAME --credentials FILE [--port 0] [--region R]
//                     [--folder DIR] [--journal FILE] [--run-as USER]
//                     [--faults JSON] [--min-part-size BYTES]
//                     [--tls-cert PEM --tls-key PEM]
//
// It listens on 127.0.0.1 (port 0: a free one), with TLS when given a
// certificate and its key, and prints
// "LISTENING <port> <folder>" once it accepts requests. SIGTERM ends it.
//
// What it adds in front of s3rver:
// - Signature Version 4 (sigv4.js) on every request, with the keys of the
//   credentials file (one "ACCESS_KEY:SECRET" per line), the region
//   (default us-east-1) and a clock skew of at most 15 minutes. s3rver itself
//   checks only the access key id.
// - Bodies of PutObject and UploadPart are staged in a file of their own and
//   reach the store only once complete and matching their length and their
//   signed x-amz-content-sha256: a request cut short stores nothing
//   (s3rver would leave a partial object in place).
// - CompleteMultipartUpload checks the parts as S3 does: every part uploaded
//   with the ETag given, in ascending order, each but the last at least
//   --min-part-size (default 5 MiB).
// - AbortMultipartUpload (DELETE ?uploadId=) and ListMultipartUploads
//   (GET ?uploads, with prefix), which s3rver does not implement.
// - Faults on request (--faults, a JSON array), each matching requests by
//   {"method", "partNumber", "query" (a parameter present), "key" (a part of
//   the key)} and counting down "times" (missing: always):
//     {"type": "drop", "match": {...}, "afterBytes": N}   closes the
//         connection once N bytes of the body arrived
//     {"type": "status", "match": {...}, "status": 503, "code": "SlowDown"}
//         answers that error without doing anything
//     {"type": "throttle", "match": {...}, "bytesPerSecond": N}   slows the
//         request bodies it matches
// - Running as another account: --run-as USER listens, then becomes USER
//   (needs root); the folder is created for that user.
// - A journal (--journal FILE): one JSON line per request once answered:
//   method, url, status, code (the error's), key, partNumber, uploadId,
//   bytes (of the body), dropped, concurrentUploads (PutObject and
//   UploadPart bodies under way when this one began, itself included),
//   signature ("ok" or the refusal's code).

const crypto = require('crypto');
const fs = require('fs');
const fsp = require('fs/promises');
const http = require('http');
const https = require('https');
const os = require('os');
const path = require('path');
const { Readable } = require('stream');
const { execFileSync } = require('child_process');

const S3rver = require('s3rver');
const S3Error = require('s3rver/lib/models/error');
const AWSAccount = require('s3rver/lib/models/account');
const { verify } = require('./sigv4');

function parseArgs(argv) {
  const args = { port: 0, region: 'us-east-1', faults: [], minPartSize: 5 * 1024 * 1024 };
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${name} needs a value`);
      return argv[++i];
    };
    switch (name) {
      case '--port': args.port = Number(value()); break;
      case '--bucket': args.bucket = value(); break;
      case '--credentials': args.credentials = value(); break;
      case '--region': args.region = value(); break;
      case '--folder': args.folder = value(); break;
      case '--journal': args.journal = value(); break;
      case '--run-as': args.runAs = value(); break;
      case '--faults': args.faults = JSON.parse(value()); break;
      case '--min-part-size': args.minPartSize = Number(value()); break;
      case '--tls-cert': args.tlsCert = value(); break;
      case '--tls-key': args.tlsKey = value(); break;
      default: throw new Error(`unknown argument ${name}`);
    }
  }
  if (!args.bucket) throw new Error('--bucket is required');
  if (!args.credentials) throw new Error('--credentials is required');
  return args;
}

function readCredentials(file) {
  const keys = new Map();
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const colon = line.indexOf(':');
    if (colon > 0) keys.set(line.slice(0, colon), line.slice(colon + 1).replace(/\r$/, ''));
  }
  return keys;
}

function xmlEscape(text) {
  return String(text).replace(/[&<>"']/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;' })[c]);
}

// Path parts of a request: bucket and key, percent-decoded.
function splitPath(url) {
  const rawPath = url.split('?')[0];
  const slash = rawPath.indexOf('/', 1);
  const decode = text => Buffer.from(decodeURIComponent(text), 'utf8').toString('utf8');
  if (slash < 0) return { bucket: decode(rawPath.slice(1)), key: '' };
  return { bucket: decode(rawPath.slice(1, slash)), key: decode(rawPath.slice(slash + 1)) };
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  const keys = readCredentials(args.credentials);
  for (const [id, secret] of keys) AWSAccount.DUMMY_ACCOUNT.createKeyPair(id, secret);

  let uid = null;
  let gid = null;
  if (args.runAs) {
    const [user, group] = args.runAs.split(':');
    uid = Number(execFileSync('id', ['-u', user]).toString().trim());
    gid = Number(group ? execFileSync('getent', ['group', group]).toString().split(':')[2]
                       : execFileSync('id', ['-g', user]).toString().trim());
  }
  const folder = args.folder || fs.mkdtempSync(path.join(os.tmpdir(), 'corvella-s3-'));
  fs.mkdirSync(path.join(folder, 'staging'), { recursive: true });
  fs.mkdirSync(path.join(folder, 'store'), { recursive: true });
  if (uid !== null) {
    for (const dir of [folder, path.join(folder, 'staging'), path.join(folder, 'store')]) fs.chownSync(dir, uid, gid);
  }
  const journalFd = args.journal ? fs.openSync(args.journal, 'a', 0o644) : null;
  const writeJournal = entry => {
    if (journalFd !== null) fs.writeSync(journalFd, JSON.stringify(entry) + '\n');
  };

  const app = new S3rver({
    silent: true,
    directory: path.join(folder, 'store'),
    configureBuckets: [{ name: args.bucket, configs: [] }],
  });
  const store = app.store;
  const uploadsDir = bucket => store.getResourcePath(bucket, undefined, 'uploads');

  const faults = args.faults.map(f => ({ ...f, left: f.times === undefined ? Infinity : f.times }));
  const takeFault = (type, ctx) => {
    for (const fault of faults) {
      if (fault.type !== type || fault.left <= 0) continue;
      const m = fault.match || {};
      if (m.method && m.method !== ctx.method) continue;
      if (m.partNumber !== undefined && String(m.partNumber) !== ctx.query.partNumber) continue;
      if (m.query && !(m.query in ctx.query)) continue;
      if (m.key && !ctx.state.key.includes(m.key)) continue;
      fault.left--;
      return fault;
    }
    return null;
  };

  let concurrentUploads = 0;
  // Part requests under way per upload id: an abort waits for them, as a part
  // that arrived whole may still be being stored.
  const partsUnderWay = new Map();
  const countPart = (uploadId, delta) => {
    const n = (partsUnderWay.get(uploadId) || 0) + delta;
    if (n > 0) partsUnderWay.set(uploadId, n);
    else partsUnderWay.delete(uploadId);
  };

  // Journal and timing of every request.
  const journalMiddleware = async (ctx, next) => {
    const { bucket, key } = splitPath(ctx.url);
    ctx.state.bucket = bucket;
    ctx.state.key = key;
    ctx.state.entry = {
      method: ctx.method,
      url: ctx.url,
      key,
      partNumber: ctx.query.partNumber,
      uploadId: ctx.query.uploadId,
      bytes: 0,
      dropped: false,
    };
    // The entry is written before the answer goes out, so a client that has
    // its answer finds the request in the journal.
    let written = false;
    const write = status => {
      if (written) return;
      written = true;
      ctx.state.entry.status = status;
      writeJournal(ctx.state.entry);
    };
    ctx.res.once('close', () => write(0));
    try {
      await next();
    } catch (error) {
      ctx.state.entry.code = error.code;
      if (ctx.respond !== false) write(error.status || 500);
      throw error;
    }
    if (ctx.respond !== false) write(ctx.status);
  };

  const signatureMiddleware = async (ctx, next) => {
    const result = verify(
      { method: ctx.method, url: ctx.req.url, rawHeaders: ctx.req.rawHeaders },
      { secretFor: id => keys.get(id), region: args.region, now: Date.now() },
    );
    ctx.state.entry.signature = result.ok ? 'ok' : result.code;
    if (!result.ok) {
      // The body of a refused upload is not read; the connection closes after the answer.
      ctx.set('Connection', 'close');
      throw new S3Error(result.code, result.message, result.detail);
    }
    ctx.state.payloadHash = result.payloadHash;
    await next();
  };

  const faultMiddleware = async (ctx, next) => {
    const fault = takeFault('status', ctx);
    if (fault) {
      ctx.set('Connection', 'close');
      ctx.status = fault.status;
      ctx.type = 'application/xml';
      ctx.state.entry.code = fault.code || 'InternalError';
      ctx.body = `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${xmlEscape(fault.code || 'InternalError')}</Code>` +
        `<Message>${xmlEscape(fault.message || 'Injected failure')}</Message></Error>`;
      return;
    }
    await next();
  };

  // Stages the body of PutObject and UploadPart; see the header.
  const stagingMiddleware = async (ctx, next) => {
    const isUpload = ctx.method === 'PUT' && ctx.state.key && !('x-amz-copy-source' in ctx.headers) &&
      (!Object.keys(ctx.query).length || ('uploadId' in ctx.query && 'partNumber' in ctx.query));
    if (!isUpload) return next();
    const partOf = 'uploadId' in ctx.query ? ctx.query.uploadId : null;
    if (partOf) countPart(partOf, 1);
    try {
      await stageAndStore(ctx, next);
    } finally {
      if (partOf) countPart(partOf, -1);
    }
  };

  const stageAndStore = async (ctx, next) => {
    const drop = takeFault('drop', ctx);
    const throttle = takeFault('throttle', ctx);
    const stagingFile = path.join(folder, 'staging', crypto.randomBytes(12).toString('hex'));
    const hash = crypto.createHash('sha256');
    const entry = ctx.state.entry;
    concurrentUploads++;
    entry.concurrentUploads = concurrentUploads;
    try {
      await new Promise((resolve, reject) => {
        const out = fs.createWriteStream(stagingFile);
        const req = ctx.req;
        let finished = false;
        const fail = error => {
          if (finished) return;
          finished = true;
          out.destroy();
          reject(error);
        };
        let holds = 0;
        const hold = () => { if (holds++ === 0) req.pause(); };
        const release = () => { if (--holds === 0 && !finished) req.resume(); };
        req.on('aborted', () => fail(new Error('the client went away')));
        req.on('close', () => { if (!req.complete) fail(new Error('the client went away')); });
        req.on('error', fail);
        out.on('error', fail);
        req.on('data', chunk => {
          if (finished) return;
          hash.update(chunk);
          entry.bytes += chunk.length;
          if (drop && entry.bytes >= drop.afterBytes) {
            entry.dropped = true;
            req.socket.destroy();
            fail(new Error('dropped on request'));
            return;
          }
          // The body flows again only when the staging file has drained and
          // the throttle's delay has passed, whichever comes last.
          if (!out.write(chunk)) {
            hold();
            out.once('drain', release);
          }
          if (throttle) {
            hold();
            setTimeout(release, (chunk.length / throttle.bytesPerSecond) * 1000);
          }
        });
        req.on('end', () => {
          if (finished) return;
          out.end(() => { if (!finished) { finished = true; resolve(); } });
        });
      });
    } catch (error) {
      concurrentUploads--;
      await fsp.rm(stagingFile, { force: true });
      ctx.respond = false;
      return;
    }
    concurrentUploads--;
    try {
      const expectedLength = Number(ctx.get('Content-Length'));
      if (ctx.get('Content-Length') !== '' && expectedLength !== entry.bytes) {
        throw new S3Error('IncompleteBody', 'You did not provide the number of bytes specified by the Content-Length HTTP header');
      }
      const digest = hash.digest('hex');
      if (ctx.state.payloadHash !== 'UNSIGNED-PAYLOAD' && ctx.state.payloadHash !== digest) {
        throw new S3Error('XAmzContentSHA256Mismatch', "The provided 'x-amz-content-sha256' header does not match what was computed.", {
          ClientComputedContentSHA256: ctx.state.payloadHash,
          S3ComputedContentSHA256: digest,
        });
      }
      const isPart = 'uploadId' in ctx.query;
      // An upload aborted while the part arrived takes no part.
      if (isPart) await uploadOf(ctx.state.bucket, ctx.state.key, ctx.query.uploadId);
      const staged = fs.createReadStream(stagingFile);
      staged.headers = ctx.req.headers;
      ctx.req = staged;
      await next();
      if (isPart) {
        const dir = path.join(uploadsDir(ctx.state.bucket), ctx.query.uploadId);
        if (!fs.existsSync(path.join(dir, 'key'))) {
          await fsp.rm(dir, { recursive: true, force: true });
          throw noSuchUpload();
        }
      }
    } finally {
      await fsp.rm(stagingFile, { force: true });
    }
  };

  const multipartMiddleware = async (ctx, next) => {
    const { bucket, key } = ctx.state;
    if (ctx.method === 'GET' && !key && 'uploads' in ctx.query) return listUploads(ctx, bucket);
    if (ctx.method === 'DELETE' && key && 'uploadId' in ctx.query) return abortUpload(ctx, bucket, key);
    if (ctx.method === 'POST' && key && 'uploadId' in ctx.query) return checkCompletion(ctx, bucket, key, next);
    if (ctx.method === 'PUT' && key && 'uploadId' in ctx.query) {
      await uploadOf(bucket, key, ctx.query.uploadId);
    }
    return next();
  };

  const noSuchUpload = () => new S3Error('NoSuchUpload',
    'The specified upload does not exist. The upload ID may be invalid, or the upload may have been aborted or completed.');

  async function uploadOf(bucket, key, uploadId) {
    if (!/^[0-9a-f]+$/.test(uploadId)) throw noSuchUpload();
    const dir = path.join(uploadsDir(bucket), uploadId);
    let storedKey;
    try {
      storedKey = await fsp.readFile(path.join(dir, 'key'), 'utf8');
    } catch (error) {
      throw noSuchUpload();
    }
    if (storedKey !== key) throw noSuchUpload();
    return dir;
  }

  async function abortUpload(ctx, bucket, key) {
    const dir = await uploadOf(bucket, key, ctx.query.uploadId);
    for (let waited = 0; partsUnderWay.has(ctx.query.uploadId) && waited < 5000; waited += 20) {
      await new Promise(resolve => setTimeout(resolve, 20));
    }
    await fsp.rm(dir, { recursive: true, force: true });
    ctx.status = 204;
  }

  async function listUploads(ctx, bucket) {
    const prefix = ctx.query.prefix || '';
    const uploads = [];
    let names = [];
    try {
      names = await fsp.readdir(uploadsDir(bucket));
    } catch (error) {
      if (error.code !== 'ENOENT') throw error;
    }
    for (const id of names) {
      try {
        const dir = path.join(uploadsDir(bucket), id);
        const key = await fsp.readFile(path.join(dir, 'key'), 'utf8');
        const stat = await fsp.stat(path.join(dir, 'key'));
        if (key.startsWith(prefix)) uploads.push({ key, id, initiated: stat.mtime });
      } catch (error) {
        // An upload completed or aborted while listing.
      }
    }
    uploads.sort((a, b) => (a.key < b.key ? -1 : a.key > b.key ? 1 : a.initiated - b.initiated));
    ctx.type = 'application/xml';
    ctx.body = '<?xml version="1.0" encoding="UTF-8"?>\n' +
      '<ListMultipartUploadsResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/">' +
      `<Bucket>${xmlEscape(bucket)}</Bucket><Prefix>${xmlEscape(prefix)}</Prefix>` +
      '<KeyMarker></KeyMarker><UploadIdMarker></UploadIdMarker><MaxUploads>1000</MaxUploads><IsTruncated>false</IsTruncated>' +
      uploads.map(u => `<Upload><Key>${xmlEscape(u.key)}</Key><UploadId>${u.id}</UploadId>` +
        `<Initiated>${u.initiated.toISOString()}</Initiated><StorageClass>STANDARD</StorageClass></Upload>`).join('') +
      '</ListMultipartUploadsResult>';
  }

  async function checkCompletion(ctx, bucket, key, next) {
    const dir = await uploadOf(bucket, key, ctx.query.uploadId);
    const chunks = [];
    for await (const chunk of ctx.req) chunks.push(chunk);
    const body = Buffer.concat(chunks);
    const digest = crypto.createHash('sha256').update(body).digest('hex');
    if (ctx.state.payloadHash !== 'UNSIGNED-PAYLOAD' && ctx.state.payloadHash !== digest) {
      throw new S3Error('XAmzContentSHA256Mismatch', "The provided 'x-amz-content-sha256' header does not match what was computed.");
    }
    const parts = [...body.toString('utf8').matchAll(/<Part>\s*<PartNumber>\s*(\d+)\s*<\/PartNumber>\s*<ETag>([^<]*)<\/ETag>\s*<\/Part>/g)]
      .map(m => ({ number: Number(m[1]), etag: m[2].replace(/&quot;/g, '"').replace(/"/g, '') }));
    if (!parts.length) {
      throw new S3Error('MalformedXML', 'The XML you provided was not well-formed or did not validate against our published schema.');
    }
    for (let i = 0; i < parts.length; i++) {
      if (i > 0 && parts[i].number <= parts[i - 1].number) {
        throw new S3Error('InvalidPartOrder', 'The list of parts was not in ascending order. The parts list must be specified in order by part number.');
      }
      let md5;
      let size;
      try {
        md5 = await fsp.readFile(path.join(dir, `${parts[i].number}.md5`), 'utf8');
        size = (await fsp.stat(path.join(dir, String(parts[i].number)))).size;
      } catch (error) {
        md5 = null;
      }
      if (md5 === null || md5 !== parts[i].etag) {
        throw new S3Error('InvalidPart', 'One or more of the specified parts could not be found.  The part may not have been uploaded, or the specified entity tag may not have matched the part\'s entity tag.');
      }
      if (i + 1 < parts.length && size < args.minPartSize) {
        throw new S3Error('EntityTooSmall', 'Your proposed upload is smaller than the minimum allowed object size.');
      }
    }
    const replay = Readable.from([body]);
    replay.headers = ctx.req.headers;
    ctx.req = replay;
    await next();
  }

  // Koa runs middleware in the order of the array: these come before s3rver's own.
  app.middleware.unshift(journalMiddleware, signatureMiddleware, faultMiddleware, multipartMiddleware, stagingMiddleware);

  const server = args.tlsCert
    ? https.createServer({ cert: fs.readFileSync(args.tlsCert), key: fs.readFileSync(args.tlsKey) }, app.callback())
    : http.createServer(app.callback());
  server.requestTimeout = 0;
  server.headersTimeout = 60000;
  server.keepAliveTimeout = 30000;
  app.configureBuckets().then(() => {
    server.listen(args.port, '127.0.0.1', () => {
      if (uid !== null) {
        fs.chownSync(path.join(folder, 'store'), uid, gid);
        execFileSync('chown', ['-R', `${uid}:${gid}`, path.join(folder, 'store')]);
        process.setgroups([gid]);
        process.setgid(gid);
        process.setuid(uid);
      }
      process.stdout.write(`LISTENING ${server.address().port} ${folder}\n`);
    });
  }).catch(error => {
    process.stderr.write(`${error.stack || error}\n`);
    process.exit(1);
  });
  const stop = () => process.exit(0);
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

try {
  main();
} catch (error) {
  process.stderr.write(`s3_server: ${error.message}\n`);
  process.exit(2);
}
