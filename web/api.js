// The registry's HTTP API as the page uses it: same-origin requests only, manifests asked for in
// every OCI and Docker form, Link pages followed within this origin, and every failure turned
// into a RegistryError whose message is the registry's own where it sent one.

export const OCI_MANIFEST = 'application/vnd.oci.image.manifest.v1+json';
export const OCI_INDEX = 'application/vnd.oci.image.index.v1+json';
export const DOCKER_MANIFEST = 'application/vnd.docker.distribution.manifest.v2+json';
export const DOCKER_LIST = 'application/vnd.docker.distribution.manifest.list.v2+json';
const IMAGE_CONFIGS = ['application/vnd.oci.image.config.v1+json', 'application/vnd.docker.container.image.v1+json'];
const MANIFEST_ACCEPT = [OCI_INDEX, OCI_MANIFEST, DOCKER_LIST, DOCKER_MANIFEST].join(', ');
// A config is read whole into memory; a larger one is not an image config worth showing.
const CONFIG_LIMIT = 4 * 1024 * 1024;

export class RegistryError extends Error {
  constructor(status, message, path) {
    super(message);
    this.name = 'RegistryError';
    this.status = status; // 0: no answer at all
    this.path = path;
  }
}

// The grammars of the distribution API: anything else from the page's address or from a stored
// document is refused before it becomes part of a request path.
const NAME_RE = /^[a-z0-9]+(?:(?:\.|_|__|-+)[a-z0-9]+)*(?:\/[a-z0-9]+(?:(?:\.|_|__|-+)[a-z0-9]+)*)*$/;
const TAG_RE = /^[A-Za-z0-9_][A-Za-z0-9._-]{0,127}$/;
const DIGEST_RE = /^[a-z0-9]+(?:[.+_-][a-z0-9]+)*:[a-zA-Z0-9=_-]+$/;
export const validName = (s) => typeof s === 'string' && s.length <= 255 && NAME_RE.test(s);
export const validTag = (s) => typeof s === 'string' && TAG_RE.test(s);
export const validDigest = (s) => typeof s === 'string' && s.length <= 200 && DIGEST_RE.test(s);
export const validRef = (s) => validTag(s) || validDigest(s);

export const isIndex = (type) => type === OCI_INDEX || type === DOCKER_LIST;
export const isImageConfig = (type) => IMAGE_CONFIGS.includes(type);

function checked(kind, value, test) {
  if (!test(value)) throw new RegistryError(null, `not a valid ${kind}: ${JSON.stringify(String(value)).slice(0, 200)}`, '');
  return value;
}

async function envelopeText(response) {
  let body = '';
  try {
    body = await response.text();
  } catch {
    return response.statusText || '';
  }
  try {
    const first = JSON.parse(body).errors[0];
    const code = typeof first.code === 'string' ? first.code : '';
    const message = typeof first.message === 'string' ? first.message : '';
    return [code, message].filter(Boolean).join(': ') || body.slice(0, 300);
  } catch {
    return body.trim().slice(0, 300) || response.statusText || '';
  }
}

async function get(path, accept) {
  let response;
  try {
    response = await fetch(path, {
      headers: accept ? { Accept: accept } : {},
      credentials: 'same-origin',
      cache: 'no-store',
      redirect: 'follow',
    });
  } catch (e) {
    throw new RegistryError(0, `${path}: ${e.message}`, path);
  }
  if (!response.ok) throw new RegistryError(response.status, `${path}: ${await envelopeText(response)}`, path);
  return response;
}

async function readJson(response, path) {
  const body = await response.text();
  try {
    return JSON.parse(body);
  } catch {
    throw new RegistryError(response.status, `${path}: the answer is not JSON`, path);
  }
}

// The next page's path from a Link header (rel="next"), when it stays on this origin and under
// /v2/; null otherwise, so a hostile Link cannot send the page elsewhere.
export function nextLink(header) {
  if (!header) return null;
  for (const part of header.split(',')) {
    const match = /^\s*<([^>]*)>\s*;(.*)$/.exec(part);
    if (!match || !/\brel="?next"?/i.test(match[2])) continue;
    let url;
    try {
      url = new URL(match[1], window.location.href);
    } catch {
      return null;
    }
    if (url.origin !== window.location.origin || !url.pathname.startsWith('/v2/')) return null;
    return url.pathname + url.search;
  }
  return null;
}

function list(value, path) {
  if (value === undefined || value === null) return [];
  if (!Array.isArray(value)) throw new RegistryError(null, `${path}: the list is not an array`, path);
  return value.filter((x) => typeof x === 'string');
}

// Every repository name: calls onPage(names) for each page as it arrives, following Link.
export async function catalog(onPage, pageSize = 1000) {
  let path = `/v2/_catalog?n=${pageSize}`;
  const seen = new Set();
  while (path && !seen.has(path)) {
    seen.add(path);
    const response = await get(path);
    const doc = await readJson(response, path);
    onPage(list(doc && doc.repositories, path));
    path = nextLink(response.headers.get('Link'));
  }
}

// One page of tags: the first when `path` is null, else the page a Link named.
export async function tagsPage(name, path, pageSize) {
  checked('repository name', name, validName);
  const at = path || `/v2/${name}/tags/list?n=${pageSize}`;
  const response = await get(at);
  const doc = await readJson(response, at);
  return { tags: list(doc && doc.tags, at), next: nextLink(response.headers.get('Link')) };
}

// A manifest by tag or digest: its document, digest, media type and byte length.
export async function manifest(name, ref) {
  checked('repository name', name, validName);
  checked('reference', ref, validRef);
  const path = `/v2/${name}/manifests/${ref}`;
  const response = await get(path, MANIFEST_ACCEPT);
  const body = await response.text();
  let doc;
  try {
    doc = JSON.parse(body);
  } catch {
    throw new RegistryError(response.status, `${path}: the manifest is not JSON`, path);
  }
  if (!doc || typeof doc !== 'object' || Array.isArray(doc))
    throw new RegistryError(response.status, `${path}: the manifest is not a JSON object`, path);
  const header = response.headers.get('Docker-Content-Digest');
  const digest = validDigest(header) ? header : validDigest(ref) ? ref : '';
  const type = (response.headers.get('Content-Type') || '').split(';')[0].trim();
  return { doc, digest, mediaType: typeof doc.mediaType === 'string' ? doc.mediaType : type, length: new TextEncoder().encode(body).length };
}

// An image config's document, or null when the descriptor names no image config.
export async function config(name, descriptor) {
  if (!descriptor || !isImageConfig(descriptor.mediaType)) return null;
  if (!(Number.isSafeInteger(descriptor.size) && descriptor.size <= CONFIG_LIMIT)) return null;
  const digest = checked('digest', descriptor.digest, validDigest);
  const path = `/v2/${name}/blobs/${digest}`;
  const doc = await readJson(await get(path), path);
  return doc && typeof doc === 'object' ? doc : null;
}

// The manifests that name `digest` as their subject, as the descriptors of the referrers index:
// every page of it, each Link followed (at most REFERRER_PAGES pages).
const REFERRER_PAGES = 100;
export async function referrers(name, digest) {
  checked('digest', digest, validDigest);
  const found = [];
  let path = `/v2/${name}/referrers/${digest}`;
  for (let page = 0; path && page < REFERRER_PAGES; page += 1) {
    const response = await get(path, OCI_INDEX);
    const doc = await readJson(response, path);
    if (Array.isArray(doc && doc.manifests))
      found.push(...doc.manifests.filter((d) => d && typeof d === 'object'));
    path = nextLink(response.headers.get('Link'));
  }
  return found;
}

// The storage statistics document.
export async function stats() {
  return readJson(await get('/stats'), '/stats');
}

// Runs at most `width` of the queued jobs at a time, so a long page does not open hundreds of
// requests at once; jobs queued later run after the earlier ones. Once `alive()` is false (the
// view that queued them is gone) the jobs still waiting are dropped, so the next view's requests
// do not wait behind them.
export function limiter(width, alive = () => true) {
  let running = 0;
  const queue = [];
  const pump = () => {
    while (running < width && queue.length) {
      const { job, resolve, reject } = queue.shift();
      if (!alive()) {
        reject(new RegistryError(null, 'the view was left', ''));
        continue;
      }
      running += 1;
      Promise.resolve().then(job).then(resolve, reject).finally(() => {
        running -= 1;
        pump();
      });
    }
  };
  return (job) => new Promise((resolve, reject) => {
    queue.push({ job, resolve, reject });
    pump();
  });
}
