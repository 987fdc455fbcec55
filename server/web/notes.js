// The notes page as a notes app: a list that follows new saves, search,
// rename, delete, export and copy, menus and keys. Loaded before app.js,
// whose helpers (authorisedFetch, route, renderList, …) it calls.
'use strict';

// The list is asked again this often while the page is visible.
const LIST_POLL_MS = 4000;
const SEARCH_DELAY_MS = 150;

let shownNote = null;  // the session on screen, with its entries
let listSignature = '';
let searchTimer = null;
let searchRun = 0;
let pendingDelete = null;

const notePath = (id) => '/api/sessions/' + encodeURIComponent(id);
const searchWords = () => $('search').value.trim();

function openNote(id) {
  history.pushState(null, '', '/app?meeting=' + encodeURIComponent(id));
  return route();
}

// ---- readable meta ---------------------------------------------------------

function languageName(code) {
  if (!code || code === 'any' || code === 'auto') return '';
  try {
    return new Intl.DisplayNames(['en'], { type: 'language' }).of(code) || code;
  } catch (e) {
    return code;
  }
}

// "Auto-detect" reads as the language most lines were heard in, or nothing.
function spokenLanguage(session) {
  const named = languageName(session.sourceLanguage);
  if (named) return named;
  const counts = {};
  for (const entry of session.entries || [])
    if (!entry.translated && entry.lang) counts[entry.lang] = (counts[entry.lang] || 0) + 1;
  const common = Object.keys(counts).sort((a, b) => counts[b] - counts[a])[0];
  return languageName(common);
}

function shortDuration(ms) {
  const minutes = Math.round(ms / 60000);
  if (minutes < 1) return 'under a minute';
  return minutes < 60 ? `${minutes} min` : `${Math.floor(minutes / 60)} h ${minutes % 60} min`;
}

// "42 min · English → Spanish · Tue, 14 Oct, 10:40", the time where the meeting was held.
function describeMeta(session) {
  const from = spokenLanguage(session);
  const to = languageName(session.targetLanguage);
  const languages = session.onlyTranscript || !to ? from : `${from || 'Speech'} → ${to}`;
  const when = formatDate(session.startedAt, session.timezone);
  return [shortDuration(session.endedAt - session.startedAt), languages, when].filter(Boolean).join(' · ');
}

// ---- the list follows the service ------------------------------------------

const signatureOf = (sessions) => sessions.map((s) => `${s.id}|${s.title}|${s.entryCount}`).join('\n');

// Redraws the list when notes were saved, renamed or deleted elsewhere.
async function refreshList() {
  if (!readSession() || searchWords()) return;
  const reply = await authorisedFetch('/api/sessions').catch(() => null);
  if (!reply || !reply.ok || searchWords()) return;
  const list = await reply.json().catch(() => null);
  if (list && Array.isArray(list.sessions) && signatureOf(list.sessions) !== listSignature)
    renderList(list.sessions);
}

function rememberList(sessions, searching) {
  if (!searching) listSignature = signatureOf(sessions);
}

// ---- search ----------------------------------------------------------------

async function runSearch() {
  const words = searchWords();
  const run = ++searchRun;
  if (!words) {
    listSignature = '';
    $('search-empty').hidden = true;
    return refreshList();
  }
  const reply = await authorisedFetch('/api/sessions?q=' + encodeURIComponent(words)).catch(() => null);
  const found = reply && reply.ok ? await reply.json().catch(() => null) : null;
  if (run !== searchRun || !found) return;
  renderList(found.sessions || [], true);
}

// ---- rename ----------------------------------------------------------------

function startRename() {
  if (!shownNote) return;
  const edit = $('note-title-edit');
  edit.value = shownNote.title || '';
  $('note-title').hidden = true;
  edit.hidden = false;
  edit.focus();
  edit.select();
}

function endRename() {
  $('note-title-edit').hidden = true;
  $('note-title').hidden = false;
}

// An empty title gives the note its automatic one back.
async function commitRename() {
  const edit = $('note-title-edit');
  if (edit.hidden || !shownNote) return;
  const id = shownNote.id;
  const title = edit.value.trim();
  endRename();
  if (title === shownNote.title) return;
  const reply = await authorisedFetch(notePath(id), 'PATCH', { title }).catch(() => null);
  const answer = reply && reply.ok ? await reply.json().catch(() => null) : null;
  if (!answer) {
    setStatus('The new title was not saved; try again.');
    return;
  }
  if (shownNote && shownNote.id === id) {
    shownNote.title = answer.session.title;
    $('note-title').textContent = answer.session.title;
  }
  listSignature = '';
  searchWords() ? runSearch() : refreshList();
}

// ---- delete ----------------------------------------------------------------

function askDelete(id, title) {
  pendingDelete = id;
  $('confirm-text').textContent = `Delete “${title}”? Its transcript, translations and summary go for good.`;
  $('confirm').hidden = false;
  $('confirm-cancel').focus();
}

function closeConfirm() {
  pendingDelete = null;
  $('confirm').hidden = true;
}

async function confirmDelete() {
  const id = pendingDelete;
  closeConfirm();
  if (!id) return;
  const reply = await authorisedFetch(notePath(id), 'DELETE').catch(() => null);
  if (!reply || (!reply.ok && reply.status !== 404)) {
    setStatus('The note was not deleted; try again.');
    return;
  }
  listSignature = '';
  if (currentMeeting() === id) {
    shownNote = null;
    history.replaceState(null, '', '/app');
    await route();
  } else {
    searchWords() ? runSearch() : refreshList();
  }
  setStatus('The note was deleted.');
}

// ---- export and copy -------------------------------------------------------

async function exportText(id, format) {
  const reply = await authorisedFetch(notePath(id) + '/export?format=' + format).catch(() => null);
  if (!reply || !reply.ok) throw new Error('export');
  const name = /filename="([^"]+)"/.exec(reply.headers.get('Content-Disposition') || '');
  return { blob: await reply.blob(), name: name ? name[1] : 'notes.' + format };
}

async function exportNote(id, format) {
  try {
    const { blob, name } = await exportText(id, format);
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  } catch (e) {
    setStatus('The note could not be exported; try again.');
  }
}

async function copyAsText(id) {
  try {
    const text = await (await exportText(id, 'txt')).blob.text();
    try {
      await navigator.clipboard.writeText(text);
    } catch (e) {
      // Without the clipboard API (no focus, no permission) the selection way still works.
      const area = document.createElement('textarea');
      area.value = text;
      document.body.append(area);
      area.select();
      const copied = document.execCommand('copy');
      area.remove();
      if (!copied) throw new Error('no clipboard');
    }
    setStatus('The note was copied as text.');
  } catch (e) {
    setStatus('The note could not be copied; try again.');
  }
}

// ---- menus -----------------------------------------------------------------

function hideMenus() {
  for (const id of ['export-menu', 'context-menu']) $(id).hidden = true;
}

function showMenu(menu, x, y, target) {
  hideMenus();
  menu.dataset.id = target.id;
  menu.dataset.title = target.title;
  menu.hidden = false;
  const box = menu.getBoundingClientRect();
  menu.style.left = Math.max(4, Math.min(x, innerWidth - box.width - 4)) + 'px';
  menu.style.top = Math.max(4, Math.min(y, innerHeight - box.height - 4)) + 'px';
  menu.querySelector('button').focus();
}

// The page's own menu on a note, in place of the browser's.
function attachNoteMenu(element, session) {
  element.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    showMenu($('context-menu'), event.clientX, event.clientY, session);
  });
}

async function onMenuChoice(event) {
  const button = event.target.closest('button');
  const menu = event.currentTarget;
  if (!button) return;
  const id = menu.dataset.id;
  const title = menu.dataset.title;
  const { action, format } = button.dataset;
  hideMenus();
  if (format) return exportNote(id, format);
  if (action === 'copy') return copyAsText(id);
  if (action === 'delete') return askDelete(id, title);
  if (currentMeeting() !== id) await openNote(id);
  if (action === 'rename') startRename();
  if (action === 'export') {
    const anchor = $('note-export').getBoundingClientRect();
    showMenu($('export-menu'), anchor.left, anchor.bottom + 4, shownNote);
  }
}

// ---- keys ------------------------------------------------------------------

function moveInList(step) {
  const links = [...document.querySelectorAll('#note-list a')];
  if (links.length === 0) return;
  const at = links.findIndex((link) => link.classList.contains('current'));
  const next = links[Math.max(0, Math.min(links.length - 1, at < 0 ? 0 : at + step))];
  next.focus();
  openNote(next.dataset.id);
}

function onKey(event) {
  const typing = event.target.closest('input, textarea');
  if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === 'f') {
    event.preventDefault();
    $('search').focus();
    $('search').select();
  } else if (event.key === 'Escape') {
    hideMenus();
    closeConfirm();
    if (event.target === $('note-title-edit')) endRename();
  } else if (event.target === $('note-title-edit') && event.key === 'Enter') {
    commitRename();
  } else if (!typing && $('confirm').hidden && (event.key === 'ArrowDown' || event.key === 'ArrowUp')) {
    event.preventDefault();
    moveInList(event.key === 'ArrowDown' ? 1 : -1);
  } else if (!typing && $('confirm').hidden && event.key === 'Delete' && shownNote && !$('note').hidden) {
    askDelete(shownNote.id, shownNote.title);
  }
}

function setUpNotes() {
  $('search').addEventListener('input', () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(runSearch, SEARCH_DELAY_MS);
  });
  $('note-title').addEventListener('dblclick', startRename);
  $('note-rename').addEventListener('click', startRename);
  $('note-title-edit').addEventListener('blur', commitRename);
  $('note-delete').addEventListener('click', () => shownNote && askDelete(shownNote.id, shownNote.title));
  $('note-export').addEventListener('click', (event) => {
    event.stopPropagation();
    const anchor = $('note-export').getBoundingClientRect();
    if (shownNote) showMenu($('export-menu'), anchor.left, anchor.bottom + 4, shownNote);
  });
  attachNoteMenu($('note'), { get id() { return shownNote && shownNote.id; }, get title() { return shownNote && shownNote.title; } });
  for (const menu of [$('export-menu'), $('context-menu')]) menu.addEventListener('click', onMenuChoice);
  $('confirm-cancel').addEventListener('click', closeConfirm);
  $('confirm-delete').addEventListener('click', confirmDelete);
  document.addEventListener('click', (event) => {
    if (!event.target.closest('.menu')) hideMenus();
  });
  document.addEventListener('keydown', onKey);
  document.addEventListener('visibilitychange', () => document.hidden || refreshList());
  setInterval(() => document.hidden || refreshList(), LIST_POLL_MS);
  // The desktop application calls this when it has saved a note, so the note shows at once.
  window.zarnoNotes = { refresh: refreshList, open: openNote };
}
