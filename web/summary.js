// What a tag or manifest amounts to: its digest and media type and, per platform, the bytes of
// config plus layers, the creation time from the image config and the platform itself.
import { config, isIndex, manifest, validDigest } from './api.js';
import { platform, sizeOf } from './format.js';

// Platforms of an index are looked at up to this many; the rest are counted, not fetched.
export const MAX_PLATFORMS = 32;

// Config plus layers of one image manifest's document; null when any size is unusable.
export function imageBytes(doc) {
  const layers = Array.isArray(doc.layers) ? doc.layers : [];
  let total = sizeOf(doc.config);
  for (const layer of layers) {
    const size = sizeOf(layer);
    total = total === null || size === null ? null : total + size;
  }
  return Number.isSafeInteger(total) ? total : null;
}

async function image(name, m, run) {
  const entry = { digest: m.digest, mediaType: m.mediaType, size: imageBytes(m.doc), created: '', platform: '' };
  try {
    const cfg = await run(() => config(name, m.doc.config));
    if (cfg) {
      entry.created = typeof cfg.created === 'string' ? cfg.created : '';
      entry.platform = platform(cfg);
    }
  } catch (error) {
    entry.error = error;
  }
  return entry;
}

// The summary of `ref` in `name`. `run` queues each request (a limiter). Per-platform failures
// are kept in their entry's `error`; a failure of the manifest itself rejects.
export async function summarize(name, ref, run) {
  const m = await run(() => manifest(name, ref));
  const base = {
    digest: m.digest,
    mediaType: m.mediaType,
    artifactType: typeof m.doc.artifactType === 'string' ? m.doc.artifactType : '',
    length: m.length,
    doc: m.doc,
    index: isIndex(m.mediaType) || Array.isArray(m.doc.manifests),
    more: 0,
  };
  if (!base.index) return { ...base, entries: [await image(name, m, run)] };

  const children = (Array.isArray(m.doc.manifests) ? m.doc.manifests : []).filter((c) => c && typeof c === 'object');
  base.more = Math.max(0, children.length - MAX_PLATFORMS);
  const entries = await Promise.all(children.slice(0, MAX_PLATFORMS).map(async (child) => {
    const named = platform(child.platform);
    if (!validDigest(child.digest)) return { digest: String(child.digest ?? ''), platform: named, size: null, created: '', error: new Error('the entry has no valid digest') };
    try {
      const entry = await image(name, await run(() => manifest(name, child.digest)), run);
      return { ...entry, platform: named || entry.platform };
    } catch (error) {
      return { digest: child.digest, platform: named, size: null, created: '', error };
    }
  }));
  return { ...base, entries };
}
