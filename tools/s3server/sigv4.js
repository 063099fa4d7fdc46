'use strict';
// Checks AWS Signature Version 4 on requests to an S3-compatible server, as
// AWS's published algorithm computes it for the service "s3":
//
//   CanonicalRequest = Method \n CanonicalURI \n CanonicalQuery \n
//                      CanonicalHeaders \n SignedHeaders \n PayloadHash
//   StringToSign     = "AWS4-HMAC-SHA256" \n AmzDate \n Scope \n hex(SHA256(CanonicalRequest))
//   SigningKey       = HMAC(HMAC(HMAC(HMAC("AWS4" + secret, date), region), service), "aws4_request")
//   Signature        = hex(HMAC(SigningKey, StringToSign))
//
// The canonical URI and query are formed from what the request means, not
// from how it was written: the path and every query name and value are
// percent-decoded, then encoded again with every byte outside A-Z a-z 0-9
// "-" "." "_" "~" as %XX (upper-case hex); "/" stays in the path and is
// encoded in the query; S3 paths are neither normalised nor encoded twice.
// A client that signs a raw "," in the path or a raw "/" in a query value
// therefore computes another signature than the server, and is refused.

const crypto = require('crypto');

const ALGORITHM = 'AWS4-HMAC-SHA256';
const MAX_SKEW_MS = 15 * 60 * 1000;

function isUnreserved(byte) {
  return (
    (byte >= 0x41 && byte <= 0x5a) ||
    (byte >= 0x61 && byte <= 0x7a) ||
    (byte >= 0x30 && byte <= 0x39) ||
    byte === 0x2d ||
    byte === 0x2e ||
    byte === 0x5f ||
    byte === 0x7e
  );
}

function uriEncode(bytes, keepSlash) {
  let out = '';
  for (const byte of bytes) {
    if (isUnreserved(byte) || (keepSlash && byte === 0x2f)) {
      out += String.fromCharCode(byte);
    } else {
      out += '%' + byte.toString(16).toUpperCase().padStart(2, '0');
    }
  }
  return out;
}

// Percent-decoding to bytes; a "%" not followed by two hex digits stays as it is.
function percentDecode(text) {
  const raw = Buffer.from(text, 'latin1');
  const out = [];
  for (let i = 0; i < raw.length; i++) {
    if (raw[i] === 0x25 && i + 2 < raw.length) {
      const hex = raw.toString('latin1', i + 1, i + 3);
      if (/^[0-9A-Fa-f]{2}$/.test(hex)) {
        out.push(parseInt(hex, 16));
        i += 2;
        continue;
      }
    }
    out.push(raw[i]);
  }
  return Buffer.from(out);
}

function canonicalUri(rawPath) {
  if (!rawPath) return '/';
  return uriEncode(percentDecode(rawPath), true);
}

function canonicalQuery(rawQuery) {
  if (!rawQuery) return '';
  const pairs = rawQuery
    .split('&')
    .filter(part => part.length > 0)
    .map(part => {
      const eq = part.indexOf('=');
      const name = eq < 0 ? part : part.slice(0, eq);
      const value = eq < 0 ? '' : part.slice(eq + 1);
      return [uriEncode(percentDecode(name), false), uriEncode(percentDecode(value), false)];
    });
  pairs.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0));
  return pairs.map(([name, value]) => `${name}=${value}`).join('&');
}

// Header values by lower-case name; repeated headers joined with ",".
function headerMap(rawHeaders) {
  const map = new Map();
  for (let i = 0; i + 1 < rawHeaders.length; i += 2) {
    const name = rawHeaders[i].toLowerCase();
    const value = rawHeaders[i + 1].trim().replace(/ +/g, ' ');
    map.set(name, map.has(name) ? map.get(name) + ',' + value : value);
  }
  return map;
}

function sha256Hex(data) {
  return crypto.createHash('sha256').update(data).digest('hex');
}

function hmac(key, data) {
  return crypto.createHmac('sha256', key).update(data, 'utf8').digest();
}

function signingKey(secret, date, region, service) {
  const kDate = hmac(Buffer.from('AWS4' + secret, 'utf8'), date);
  return hmac(hmac(hmac(kDate, region), service), 'aws4_request');
}

function parseAuthorization(value) {
  if (!value.startsWith(ALGORITHM + ' ')) return null;
  const fields = {};
  for (const part of value.slice(ALGORITHM.length + 1).split(',')) {
    const eq = part.indexOf('=');
    if (eq < 0) return null;
    fields[part.slice(0, eq).trim()] = part.slice(eq + 1).trim();
  }
  if (!fields.Credential || !fields.SignedHeaders || !fields.Signature) return null;
  const scope = fields.Credential.split('/');
  if (scope.length !== 5) return null;
  return {
    accessKeyId: scope[0],
    date: scope[1],
    region: scope[2],
    service: scope[3],
    terminator: scope[4],
    signedHeaders: fields.SignedHeaders.split(';'),
    signature: fields.Signature,
  };
}

function refuse(status, code, message, detail = {}) {
  return { ok: false, status, code, message, detail };
}

function parseAmzDate(text) {
  const m = /^(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})Z$/.exec(text || '');
  if (!m) return null;
  return Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
}

// Checks one request. `request`: { method, url (path and query as sent),
// rawHeaders (name, value, name, value ...) }. `options`: { secretFor(keyId)
// -> secret or undefined, region, service (default "s3"), now (ms; null
// skips the clock check) }. Returns { ok: true, accessKeyId, payloadHash } or
// { ok: false, status, code, message, detail } with the texts S3 answers.
function verify(request, options) {
  const service = options.service || 's3';
  const headers = headerMap(request.rawHeaders);
  const authorization = headers.get('authorization');
  if (!authorization) return refuse(403, 'AccessDenied', 'Access Denied');
  const auth = parseAuthorization(authorization);
  if (!auth) {
    return refuse(400, 'AuthorizationHeaderMalformed', 'The authorization header is malformed.');
  }
  const secret = options.secretFor(auth.accessKeyId);
  if (secret === undefined) {
    return refuse(403, 'InvalidAccessKeyId', 'The AWS Access Key Id you provided does not exist in our records.', {
      AWSAccessKeyId: auth.accessKeyId,
    });
  }
  if (auth.service !== service || auth.terminator !== 'aws4_request') {
    return refuse(400, 'AuthorizationHeaderMalformed', `The authorization header is malformed; incorrect service "${auth.service}". This endpoint belongs to "${service}".`);
  }
  if (options.region && auth.region !== options.region) {
    return refuse(400, 'AuthorizationHeaderMalformed', `The authorization header is malformed; the region '${auth.region}' is wrong; expecting '${options.region}'`, { Region: options.region });
  }
  const amzDate = headers.get('x-amz-date');
  const requestTime = parseAmzDate(amzDate);
  if (requestTime === null || !amzDate.startsWith(auth.date)) {
    return refuse(403, 'AccessDenied', 'AWS authentication requires a valid Date or x-amz-date header');
  }
  if (options.now !== null && options.now !== undefined && Math.abs(options.now - requestTime) > MAX_SKEW_MS) {
    return refuse(403, 'RequestTimeTooSkewed', 'The difference between the request time and the current time is too large.');
  }
  const payloadHash = headers.get('x-amz-content-sha256');
  if (payloadHash === undefined) {
    return refuse(400, 'InvalidRequest', 'Missing required header for this request: x-amz-content-sha256');
  }
  if (payloadHash !== 'UNSIGNED-PAYLOAD' && !/^[0-9a-f]{64}$/.test(payloadHash)) {
    return refuse(400, 'InvalidArgument', 'x-amz-content-sha256 must be UNSIGNED-PAYLOAD or a valid sha256 value.');
  }
  const signed = auth.signedHeaders;
  if (!signed.includes('host')) {
    return refuse(403, 'AccessDenied', 'The host header must be signed');
  }
  for (const name of headers.keys()) {
    if (name.startsWith('x-amz-') && !signed.includes(name)) {
      return refuse(403, 'AccessDenied', 'There were headers present in the request which were not signed', { HeadersNotSigned: name });
    }
  }
  const sortedSigned = [...signed].sort();
  if (sortedSigned.join(';') !== signed.join(';')) {
    return refuse(400, 'AuthorizationHeaderMalformed', 'The signed headers must be sorted.');
  }

  const url = request.url;
  const q = url.indexOf('?');
  const rawPath = q < 0 ? url : url.slice(0, q);
  const rawQuery = q < 0 ? '' : url.slice(q + 1);
  const canonicalRequest = [
    request.method,
    canonicalUri(rawPath),
    canonicalQuery(rawQuery),
    signed.map(name => `${name}:${headers.has(name) ? headers.get(name) : ''}\n`).join(''),
    signed.join(';'),
    payloadHash,
  ].join('\n');
  const scope = `${auth.date}/${auth.region}/${auth.service}/aws4_request`;
  const stringToSign = [ALGORITHM, amzDate, scope, sha256Hex(canonicalRequest)].join('\n');
  const expected = hmac(signingKey(secret, auth.date, auth.region, auth.service), stringToSign).toString('hex');
  const given = Buffer.from(auth.signature, 'utf8');
  if (given.length !== expected.length || !crypto.timingSafeEqual(given, Buffer.from(expected, 'utf8'))) {
    return refuse(
      403,
      'SignatureDoesNotMatch',
      'The request signature we calculated does not match the signature you provided. Check your key and signing method.',
      { AWSAccessKeyId: auth.accessKeyId, StringToSign: stringToSign, CanonicalRequest: canonicalRequest },
    );
  }
  return { ok: true, accessKeyId: auth.accessKeyId, payloadHash };
}

module.exports = { verify, canonicalUri, canonicalQuery, uriEncode };
