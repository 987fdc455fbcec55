// The zarno web application: sign-in, the list of saved notes and one note.
// It keeps its session where the desktop application looks for it.
'use strict';

const SESSION_KEY = 'sb-local-auth-token';
const $ = (id) => document.getElementById(id);

let config = null; // { supabaseUrl, supabaseAnonKey }

// ---- session ---------------------------------------------------------------

function readSession() {
  try {
    const session = JSON.parse(localStorage.getItem(SESSION_KEY));
    if (session && typeof session.access_token === 'string' && typeof session.refresh_token === 'string')
      return session;
  } catch (e) { /* unreadable: treated as signed out */ }
  return null;
}

function storeGrant(grant) {
  const session = {
    access_token: grant.access_token,
    refresh_token: grant.refresh_token,
    token_type: grant.token_type || 'bearer',
    expires_in: grant.expires_in,
    expires_at: grant.expires_at,
    user: { email: grant.user && grant.user.email, id: grant.user && grant.user.id },
  };
  localStorage.setItem(SESSION_KEY, JSON.stringify(session));
  return session;
}

function clearSession() {
  localStorage.removeItem(SESSION_KEY);
}

const nowSeconds = () => Date.now() / 1000;

async function loadConfig() {
  if (!config) {
    const reply = await fetch('/api/auth/config', { cache: 'no-store' });
    config = await reply.json();
  }
  return config;
}

// The page is served by the sign-in service itself: its own origin reaches
// it whichever of the service's names the page was opened with.
async function grant(type, body) {
  const { supabaseAnonKey } = await loadConfig();
  const reply = await fetch('/auth/v1/token?grant_type=' + type, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', apikey: supabaseAnonKey },
    body: JSON.stringify(body),
  });
  const answer = await reply.json().catch(() => ({}));
  if (!reply.ok)
    throw new Error(answer.error_description || answer.message || 'The sign-in failed.');
  return answer;
}

// Renews the session with its refresh token; a refused renewal signs this page out.
async function renew(session) {
  try {
    return storeGrant(await grant('refresh_token', { refresh_token: session.refresh_token }));
  } catch (e) {
    clearSession();
    return null;
  }
}

// A request with the access token, renewed once when the service says it has expired.
async function authorisedFetch(path, method = 'GET', body = undefined) {
  let session = readSession();
  if (!session) return null;
  for (let attempt = 0; attempt < 2; ++attempt) {
    const headers = { Authorization: 'Bearer ' + session.access_token };
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    const reply = await fetch(path, { method, headers, cache: 'no-store', body: body === undefined ? undefined : JSON.stringify(body) });
    if (reply.status !== 401) return reply;
    session = await renew(session);
    if (!session) return null;
  }
  return null;
}

// ---- views -----------------------------------------------------------------

function show(view) {
  for (const id of ['sign-in', 'welcome', 'note'])
    $(id).hidden = id !== view;
  $('shell').classList.toggle('signed-out', view === 'sign-in');
}

function setStatus(text) {
  $('status').textContent = text || '';
  $('status').hidden = !text;
}

// In the meeting's own time zone when the note names one.
function formatDate(ms, timeZone) {
  const options = { weekday: 'short', day: 'numeric', month: 'short', hour: '2-digit', minute: '2-digit' };
  try {
    return new Date(ms).toLocaleString(undefined, { ...options, timeZone: timeZone || undefined });
  } catch (e) {
    return new Date(ms).toLocaleString(undefined, options);
  }
}

function formatOffset(ms) {
  const seconds = Math.max(0, Math.floor(ms / 1000));
  const minutes = Math.floor(seconds / 60);
  const hours = Math.floor(minutes / 60);
  const pad = (n) => String(n).padStart(2, '0');
  return hours > 0 ? `${hours}:${pad(minutes % 60)}:${pad(seconds % 60)}` : `${minutes}:${pad(seconds % 60)}`;
}

function currentMeeting() {
  return new URLSearchParams(location.search).get('meeting');
}

// The notes, each by its title and time; a search's hits carry the matched words.
function renderList(sessions, searching = false) {
  const list = $('note-list');
  list.replaceChildren();
  const current = currentMeeting();
  for (const session of sessions) {
    const link = document.createElement('a');
    link.href = '/app?meeting=' + encodeURIComponent(session.id);
    link.dataset.id = session.id;
    link.classList.toggle('current', session.id === current);
    const title = document.createElement('span');
    title.className = 'title';
    title.textContent = session.title || formatDate(session.startedAt, session.timezone);
    const when = document.createElement('span');
    when.className = 'when';
    when.textContent = formatDate(session.startedAt, session.timezone);
    const preview = document.createElement('span');
    if (searching && session.snippet) {
      preview.className = 'snippet';
      // The service escapes the snippet and marks the matches itself.
      preview.innerHTML = session.snippet;
    } else {
      preview.className = 'preview';
      preview.textContent = session.preview || `${session.entryCount || 0} lines`;
    }
    link.append(title, when, preview);
    link.addEventListener('click', (event) => {
      event.preventDefault();
      history.pushState(null, '', link.href);
      route();
    });
    attachNoteMenu(link, session);
    const item = document.createElement('li');
    item.append(link);
    list.append(item);
  }
  $('list-empty').hidden = searching || sessions.length > 0;
  $('search-empty').hidden = !searching || sessions.length > 0;
  rememberList(sessions, searching);
}

// Who spoke a line, as the app names them: the user on the microphone, the
// engine's speaker on the computer's side, "Others" there when nothing finer
// is known; nothing for notes that do not say.
function whoOf(entry) {
  if (entry.source === 'mic') return 'You';
  if (entry.speaker) return 'Speaker ' + entry.speaker;
  return entry.source === 'system' ? 'Others' : '';
}

// Source lines each open a row; the translations that follow sit beside them.
// Where the note holds more than one voice, a row names its voice where it changes.
function renderNote(session) {
  const rows = [];
  for (const entry of session.entries) {
    if (!entry.translated || rows.length === 0)
      rows.push({ t: entry.t, source: [], translation: [], who: whoOf(entry) });
    const row = rows[rows.length - 1];
    (entry.translated ? row.translation : row.source).push(entry.text.trim());
  }
  const whos = rows.map((row) => row.who);
  const voices = new Set(whos).size > 1;
  rows.forEach((row, i) => {
    row.who = voices && (i === 0 || whos[i - 1] !== whos[i]) ? whos[i] : '';
  });
  const single = session.onlyTranscript || rows.every((row) => row.translation.length === 0);
  $('note').classList.toggle('single', single);
  shownNote = session;
  endRename();
  $('note-title').textContent = session.title || formatDate(session.startedAt, session.timezone);
  $('note-meta').textContent = describeMeta(session);

  const lines = $('note-lines');
  lines.replaceChildren();
  for (const row of rows) {
    const element = document.createElement('div');
    element.className = 'row';
    const time = document.createElement('span');
    time.className = 'time';
    time.textContent = formatOffset(row.t - session.startedAt);
    const source = document.createElement('div');
    source.className = 'source';
    source.textContent = row.source.join('\n');
    if (row.who) {
      // Who speaks from here on.
      const who = document.createElement('span');
      who.className = 'who';
      who.textContent = row.who;
      source.prepend(who);
    }
    element.append(time, source);
    if (!single) {
      const translation = document.createElement('div');
      translation.className = 'translation';
      translation.textContent = row.translation.join('\n');
      element.append(translation);
    }
    lines.append(element);
  }
  renderSummary(session.id, session.summary);
  show('note');
}

// ---- summary ---------------------------------------------------------------

const SUMMARY_POLL_MS = 1500;
let summaryPoll = null;

const summaryPath = (id) => '/api/sessions/' + encodeURIComponent(id) + '/summary';

function renderTodo(id, item, index) {
  const label = document.createElement('label');
  const box = document.createElement('input');
  box.type = 'checkbox';
  box.checked = item.done === true;
  box.addEventListener('change', () => tickTodo(id, index, box));
  const task = document.createElement('span');
  task.className = 'task';
  task.textContent = item.task;
  label.append(box, task);
  const details = [item.owner, item.due && 'due ' + item.due].filter(Boolean).join(' · ');
  if (details) {
    const who = document.createElement('span');
    who.className = 'who muted';
    who.textContent = details;
    label.append(who);
  }
  const element = document.createElement('li');
  element.classList.toggle('done', box.checked);
  element.append(label);
  return element;
}

function fillList(list, head, items, make) {
  list.replaceChildren(...items.map(make));
  list.hidden = head.hidden = items.length === 0;
}

// What the model made of the meeting, or a quiet line while it works, or how to turn it on.
function renderSummary(id, summary) {
  clearTimeout(summaryPoll);
  summary = summary || { status: 'off' };
  const quiet = {
    pending: 'Summarising this meeting…',
    off: 'Summaries, decisions and to-dos appear here when zarno-server runs with a model: '
      + 'start it with --llm-url (an OpenAI-compatible address such as Ollama’s http://127.0.0.1:11434/v1) and --llm-model.',
    failed: 'No summary this time: ' + (summary.reason || 'the model did not answer.'),
  }[summary.status];
  $('summary').dataset.status = summary.status;
  $('summary-quiet').textContent = quiet || '';
  $('summary-quiet').hidden = !quiet;
  $('summary-ready').hidden = summary.status !== 'ready';
  $('summary-again').hidden = summary.status !== 'ready' && summary.status !== 'failed';
  $('summary-again').onclick = () => summariseAgain(id);
  if (summary.status === 'ready') {
    $('summary-overview').textContent = summary.overview || '';
    fillList($('summary-decisions'), $('summary-decisions-head'), summary.decisions || [], (text) => {
      const element = document.createElement('li');
      element.textContent = text;
      return element;
    });
    fillList($('summary-todos'), $('summary-todos-head'), summary.actionItems || [],
      (item, index) => renderTodo(id, item, index));
  }
  if (summary.status === 'pending')
    summaryPoll = setTimeout(() => refreshSummary(id), SUMMARY_POLL_MS);
}

// Only the summary is redrawn, and only while its note is still the one shown.
async function refreshSummary(id) {
  const reply = await authorisedFetch('/api/sessions/' + encodeURIComponent(id)).catch(() => null);
  if (currentMeeting() !== id || $('note').hidden) return;
  const answer = reply && reply.ok ? await reply.json().catch(() => null) : null;
  if (answer && answer.session)
    renderSummary(id, answer.session.summary);
  else
    summaryPoll = setTimeout(() => refreshSummary(id), SUMMARY_POLL_MS);
}

async function summariseAgain(id) {
  $('summary-again').disabled = true;
  try {
    const reply = await authorisedFetch(summaryPath(id), 'POST', {});
    const answer = reply ? await reply.json().catch(() => ({})) : {};
    if (currentMeeting() === id && answer.summary) renderSummary(id, answer.summary);
  } catch (e) {
    setStatus('The zarno service is not answering. Is zarno-server running?');
  } finally {
    $('summary-again').disabled = false;
  }
}

// A tick is kept with the note; when the service does not take it, the box goes back.
async function tickTodo(id, index, box) {
  const done = box.checked;
  box.closest('li').classList.toggle('done', done);
  const reply = await authorisedFetch(summaryPath(id) + '/actionItems/' + index, 'PATCH', { done })
    .catch(() => null);
  if (!reply || !reply.ok) {
    box.checked = !done;
    box.closest('li').classList.toggle('done', !done);
    setStatus('That tick was not saved; try again.');
  }
}

// ---- flow ------------------------------------------------------------------

async function route() {
  const session = readSession();
  if (!session) {
    show('sign-in');
    setStatus('');
    return;
  }
  $('account-email').textContent = (session.user && session.user.email) || '';
  setStatus('');
  const listReply = await authorisedFetch('/api/sessions');
  // Signed out while the answer was on its way: the sign-in form stays.
  if (!readSession()) return;
  if (!listReply) {
    show('sign-in');
    return;
  }
  const list = await listReply.json().catch(() => ({ sessions: [] }));
  if (!readSession()) return;
  if (searchWords())
    runSearch();
  else
    renderList(list.sessions || []);

  clearTimeout(summaryPoll);
  const meeting = currentMeeting();
  if (!meeting) {
    shownNote = null;
    show('welcome');
    return;
  }
  const noteReply = await authorisedFetch('/api/sessions/' + encodeURIComponent(meeting));
  if (!readSession()) return;
  if (!noteReply) {
    show('sign-in');
  } else if (noteReply.ok) {
    renderNote((await noteReply.json()).session);
  } else {
    show('welcome');
    setStatus('These notes were not found in your account.');
  }
}

async function signIn(event) {
  event.preventDefault();
  const button = $('sign-in-button');
  const error = $('sign-in-error');
  error.hidden = true;
  button.disabled = true;
  try {
    storeGrant(await grant('password', { email: $('email').value, password: $('password').value }));
    $('password').value = '';
    // A fresh load: the desktop application copies the sign-in after each one.
    location.replace('/app' + location.search);
  } catch (e) {
    error.textContent = e.message === 'Invalid login credentials' ? 'That password does not match this address.' : e.message;
    error.hidden = false;
  } finally {
    button.disabled = false;
  }
}

// Signing out ends the sign-in at the service too (the desktop application
// took its tokens from this page, so it is signed out with it). The page
// forgets its session at once; the service is told on the way.
function signOut() {
  const session = readSession();
  clearSession();
  const told = session
    ? loadConfig().then(({ supabaseAnonKey }) => {
      fetch('/auth/v1/logout', {
        method: 'POST',
        headers: { Authorization: 'Bearer ' + session.access_token, apikey: supabaseAnonKey },
        keepalive: true,
      }).catch(() => { /* the service is away: its tokens expire on their own */ });
    }).catch(() => {})
    : Promise.resolve();
  $('note-list').replaceChildren();
  $('account-email').textContent = '';
  history.replaceState(null, '', '/app' + location.search);
  show('sign-in');
  // A fresh load tells the desktop application, which looks at the page's
  // sign-in after every load, that it is gone.
  told.then(() => location.replace('/app'));
}
window.zarnoPage = { signOut };

function toggleSidebar() {
  const collapsed = $('shell').classList.toggle('collapsed');
  $('side-collapse').setAttribute('aria-expanded', String(!collapsed));
  localStorage.setItem('zarno-sidebar-collapsed', collapsed ? '1' : '0');
}

async function start() {
  $('sign-in-form').addEventListener('submit', signIn);
  $('sign-out').addEventListener('click', signOut);
  $('side-collapse').addEventListener('click', toggleSidebar);
  window.addEventListener('popstate', route);
  setUpNotes();
  if (localStorage.getItem('zarno-sidebar-collapsed') === '1') toggleSidebar();

  // An expired session is taken out of storage before anything else, so that
  // nobody copies stale tokens out of this page while it renews them.
  const stored = readSession();
  if (stored && !(typeof stored.expires_at === 'number' && stored.expires_at > nowSeconds() + 5)) {
    clearSession();
    await renew(stored);
  }
  try {
    await route();
  } catch (e) {
    setStatus('The zarno service is not answering. Is zarno-server running?');
  }
}

start();
