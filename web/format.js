// How numbers, digests, platforms and times read on the page. Every function takes whatever a
// registry sent and gives text, so a malformed value shows as itself or as "unknown".

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];

// A byte count as people read it: "512 B", "1.5 MiB". Anything but a safe non-negative integer
// is "unknown".
export function bytes(n) {
  if (!Number.isSafeInteger(n) || n < 0) return 'unknown';
  let value = n;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${n} B` : `${value.toFixed(value < 10 ? 2 : 1)} ${UNITS[unit]}`;
}

// The exact count for a tooltip: "1536 bytes", or null (no tooltip) when unknown.
export function exact(n) {
  return Number.isSafeInteger(n) && n >= 0 ? `${n} bytes` : null;
}

// A descriptor's size, or null when it is not a usable number.
export function sizeOf(descriptor) {
  const size = descriptor && descriptor.size;
  return Number.isSafeInteger(size) && size >= 0 ? size : null;
}

// "sha256:0123456789ab" for a long digest; other strings unchanged.
export function shortDigest(digest) {
  const text = String(digest ?? '');
  const colon = text.indexOf(':');
  return colon > 0 && text.length > colon + 13 ? text.slice(0, colon + 13) : text;
}

// os/architecture/variant of a platform object, or "" when it names none.
export function platform(p) {
  if (!p || typeof p !== 'object') return '';
  const parts = [p.os, p.architecture, p.variant].filter((x) => typeof x === 'string' && x !== '');
  return parts.join('/');
}

// A creation time (RFC 3339, as image configs hold it) as UTC text; anything else shows as
// itself: browsers' own date parsing takes nearly any text for some date.
const RFC3339 = /^\d{4}-\d{2}-\d{2}[Tt ]\d{2}:\d{2}:\d{2}(\.\d+)?([Zz]|[+-]\d{2}:\d{2})$/;
export function created(value) {
  if (typeof value !== 'string' || value === '') return '';
  const time = RFC3339.test(value) ? Date.parse(value.replace(' ', 'T')) : NaN;
  if (Number.isNaN(time)) return value;
  return new Date(time).toISOString().replace('T', ' ').replace(/(\.\d+)?Z$/, ' UTC');
}

export function count(n, one, many) {
  return `${n} ${n === 1 ? one : many}`;
}

// Text of a value that should be a string; other kinds as JSON, missing as "".
export function text(value) {
  if (value === undefined || value === null) return '';
  return typeof value === 'string' ? value : JSON.stringify(value);
}
