// One manifest's view: digest, media type and pull commands; an index's platforms; an image's
// layers as a bar chart of where the bytes are; annotations; and the manifests that refer to it
// (signatures, SBOMs, attestations) grouped by artifact type.
import { limiter, referrers, validDigest } from './api.js';
import { add, clear, copyable, el, errorNote, facts } from './dom.js';
import { bytes, created, exact, shortDigest, sizeOf, text } from './format.js';
import { summarize } from './summary.js';

const href = (name, ref) => `#/manifest/${name}/${ref}`;

function digestLink(name, digest) {
  if (!validDigest(digest)) return el('code', {}, text(digest) || '—');
  return el('a', { href: href(name, digest), title: digest, class: 'digest' }, shortDigest(digest));
}

// A table of annotations (key, value), or a note that there are none.
export function annotationTable(annotations) {
  if (!annotations || typeof annotations !== 'object' || Array.isArray(annotations) || !Object.keys(annotations).length)
    return el('p', { class: 'note' }, 'No annotations.');
  return el('table', { class: 'annotations' },
    el('thead', {}, el('tr', {}, el('th', {}, 'Key'), el('th', {}, 'Value'))),
    el('tbody', {}, Object.entries(annotations).map(([key, value]) => el('tr', {}, el('td', {}, key), el('td', {}, text(value))))));
}

// Layers as horizontal bars, each as long as its share of the largest layer, with its size and
// its share of the whole image.
export function layerChart(doc) {
  const layers = (Array.isArray(doc.layers) ? doc.layers : []).filter((l) => l && typeof l === 'object');
  if (!layers.length) return el('p', { class: 'note' }, 'No layers.');
  const sizes = layers.map(sizeOf);
  const largest = Math.max(1, ...sizes.map((s) => s ?? 0));
  const total = sizes.reduce((t, s) => t + (s ?? 0), 0);
  const chart = el('ol', { class: 'chart', 'aria-label': 'Layer sizes' });
  layers.forEach((layer, i) => {
    const size = sizes[i];
    const bar = el('span', { class: 'bar' });
    bar.style.width = `${size ? Math.max(0.5, (100 * size) / largest) : 0}%`;
    const share = total && size !== null ? ` (${((100 * size) / total).toFixed(1)}%)` : '';
    add(chart, el('li', { class: 'layer' },
      el('span', { class: 'label' }, `#${i + 1} `, el('code', { title: text(layer.digest) }, shortDigest(text(layer.digest))),
        el('span', { class: 'sub' }, ` ${text(layer.mediaType)}`)),
      el('span', { class: 'track' }, bar),
      el('span', { class: 'size', title: exact(size) }, bytes(size ?? NaN), share)));
  });
  return chart;
}

function platformTable(name, summary) {
  const children = (Array.isArray(summary.doc.manifests) ? summary.doc.manifests : []).filter((c) => c && typeof c === 'object');
  return el('table', { class: 'platforms' },
    el('thead', {}, el('tr', {}, ['Platform', 'Digest', 'Media type', 'Size', 'Created'].map((h) => el('th', {}, h)))),
    el('tbody', {}, summary.entries.map((entry, i) => el('tr', {},
      el('td', {}, entry.platform || 'unknown platform'),
      el('td', {}, digestLink(name, entry.digest)),
      el('td', {}, text(children[i] && children[i].mediaType)),
      el('td', { class: 'num', title: exact(entry.size) }, bytes(entry.size)),
      el('td', {}, entry.error ? errorNote(entry.error) : created(entry.created) || '—')))));
}

async function referrerSection(section, name, digest) {
  let list;
  try {
    list = await referrers(name, digest);
  } catch (error) {
    add(section, errorNote(error, 'Referrers'));
    return;
  }
  if (!list.length) {
    add(section, el('p', { class: 'note' }, 'Nothing refers to this manifest.'));
    return;
  }
  const groups = new Map();
  for (const d of list) {
    const type = text(d.artifactType) || text(d.mediaType) || 'unknown type';
    if (!groups.has(type)) groups.set(type, []);
    groups.get(type).push(d);
  }
  for (const [type, items] of groups) {
    add(section, el('div', { class: 'referrer-group' },
      el('h3', {}, type, el('span', { class: 'sub' }, ` ${items.length}`)),
      el('ul', { class: 'referrers' }, items.map((d) => el('li', {},
        digestLink(name, d.digest), ' ', el('span', { class: 'sub' }, `${text(d.mediaType)}, ${bytes(sizeOf(d) ?? NaN)}`),
        d.annotations && typeof d.annotations === 'object' ? annotationTable(d.annotations) : null)))));
  }
}

export async function renderManifest(view, name, ref) {
  document.title = `${name}@${ref} — Registry`;
  const heading = el('h1', {}, name, el('span', { class: 'ref' }, ref.includes(':') ? `@${ref}` : `:${ref}`));
  add(clear(view), heading, el('p', { class: 'note' }, 'Loading manifest…'));
  let summary;
  try {
    summary = await summarize(name, ref, limiter(6, () => heading.isConnected));
  } catch (error) {
    if (heading.isConnected) view.lastChild.replaceWith(errorNote(error, `Manifest ${ref}`));
    return;
  }
  if (!heading.isConnected) return;
  const { doc, digest } = summary;
  const host = window.location.host;
  const entry = summary.entries[0];
  clear(view.lastChild).className = 'hidden';
  add(view,
    facts([
      ['Digest', digest ? copyable(digest, 'digest', 'digest') : 'unknown'],
      ['Media type', summary.mediaType || 'unknown'],
      ['Artifact type', summary.artifactType],
      ['Manifest size', bytes(summary.length)],
      ['Total size', summary.index ? null : el('span', { class: 'total', title: exact(entry.size) }, bytes(entry.size))],
      ['Platform', summary.index ? null : entry.platform],
      ['Created', summary.index ? null : created(entry.created)],
      ['Config', summary.index || !doc.config ? null : el('span', {}, digestLink(name, doc.config.digest), ` ${text(doc.config.mediaType)}`)],
      ['Subject', doc.subject && typeof doc.subject === 'object' ? digestLink(name, doc.subject.digest) : null],
      ['Pull', el('div', {},
        ref.includes(':') ? null : copyable(`${host}/${name}:${ref}`, 'pull reference by tag', 'pull'),
        digest ? copyable(`${host}/${name}@${digest}`, 'pull reference by digest', 'pull') : null)],
    ]));
  if (entry && entry.error) add(view, errorNote(entry.error, 'Image config'));
  if (summary.index) {
    add(view, el('h2', {}, 'Platforms'), platformTable(name, summary));
    if (summary.more) add(view, el('p', { class: 'note' }, `${summary.more} more entries not shown.`));
  } else {
    add(view, el('h2', {}, 'Layers'), layerChart(doc));
  }
  add(view, el('section', { class: 'annotation-list' }, el('h2', {}, 'Annotations'), annotationTable(doc.annotations)));
  const section = el('section', { class: 'referrer-list' }, el('h2', {}, 'Referrers'));
  add(view, section);
  if (digest) await referrerSection(section, name, digest);
  else add(section, el('p', { class: 'note' }, 'The registry sent no digest, so referrers cannot be asked for.'));
}
